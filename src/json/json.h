#pragma once
// The typed JSON operations every wire message is built and read with. Texts are UTF-16 on both
// sides of this interface; UTF-8 exists only on the wire, outside this layer.
//
// Model, kept identical to the platform JSON classes this layer stands in for:
// - Objects and arrays are reference-counted handles: copying a handle shares the object, and a
//   value built from a handle shares it too. A default-constructed handle holds nothing; every
//   operation on such a handle raises JsonError.
// - Numbers are IEEE doubles. A whole number is written without a fraction (1280, never 1280.0);
//   any other number is written in the shortest form that reads back as the same double.
// - Keys are compared exactly. Inserting an existing key replaces its value in place; a received
//   text with a repeated key keeps the last value. Objects keep their insertion order, which is the
//   order fields are written in.
// - Reads with a fallback return the fallback only when the key is absent. A key that is present
//   with another JSON type than the one asked for (null included) raises JsonError, as the platform
//   classes do; a server sending the wrong type fails the session rather than being half-read.
// - Strings may hold any UTF-16 units, lone surrogates included: a received "\ud800" escape is held
//   as the single unit 0xD800, and such a unit is written back as a \u escape, so every text the
//   wire conversion can produce parses and serialises back to itself.
// - Nesting deeper than kJsonMaxDepth objects and arrays is refused when parsing and raises when
//   serialising; protocol messages nest four levels at most.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace varnel {

inline constexpr int kJsonMaxDepth = 64;

// Every failure of this layer except a rejected text in TryParse (which reports it by its result).
// Exhausted memory is std::bad_alloc, as everywhere.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class JsonObject;
class JsonArray;
class JsonValue;

namespace json_detail {
// An object or an array, shared by every handle and value that holds it (an intrusive count, so a
// parsed container costs one block and no separate control block).
struct Container;
void Retain(Container* container) noexcept;
void Release(Container* container) noexcept;

class Handle {
 public:
  Handle() = default;
  // Adopts one reference.
  explicit Handle(Container* adopted) noexcept : container_(adopted) {}
  Handle(const Handle& other) noexcept : container_(other.container_) {
    if (container_ != nullptr) Retain(container_);
  }
  Handle(Handle&& other) noexcept : container_(std::exchange(other.container_, nullptr)) {}
  Handle& operator=(Handle other) noexcept {
    std::swap(container_, other.container_);
    return *this;
  }
  ~Handle() {
    if (container_ != nullptr) Release(container_);
  }
  Container* get() const noexcept { return container_; }
  explicit operator bool() const noexcept { return container_ != nullptr; }

 private:
  Container* container_ = nullptr;
};

struct Access;  // the parser and the serialiser
}  // namespace json_detail

// One JSON value, 16 bytes. Numbers and booleans are held by value, a string in a block of its own
// (copied with the value), objects and arrays as shared handles.
class JsonValue {
 public:
  // The text is moved into the value: a large Base64 picture is not copied again here.
  static JsonValue String(std::u16string text);
  // Raises JsonError for NaN and infinities, which JSON cannot express.
  static JsonValue Number(double number);
  static JsonValue Boolean(bool value);
  JsonValue(const JsonObject& object);  // NOLINT(google-explicit-constructor): an object is a value
  JsonValue(const JsonArray& array);    // NOLINT(google-explicit-constructor): an array is a value

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : kind_(other.kind_), number_(other.number_) {
    other.kind_ = Kind::kNull;
  }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() {
    if (kind_ >= Kind::kString) Clear();
  }

  // The object this value holds (sharing it); raises JsonError for any other kind of value.
  JsonObject AsObject() const;

 private:
  friend class JsonObject;
  friend class JsonArray;
  friend struct json_detail::Access;

  // Kinds from kString on own something.
  enum class Kind : std::uint8_t { kNull, kFalse, kTrue, kNumber, kString, kObject, kArray };

  JsonValue() : number_(0) {}  // null
  void Clear() noexcept;

  Kind kind_ = Kind::kNull;
  union {
    double number_;
    std::u16string* string_;  // null for the empty text
    json_detail::Container* container_;
  };
};

class JsonArray {
 public:
  using const_iterator = const JsonValue*;

  // An empty handle; use New() for an array.
  JsonArray() = default;
  static JsonArray New();

  // Raises JsonError when the value is this array or contains it.
  void Append(JsonValue value);

  std::size_t size() const;
  // Iteration in order. Appending while iterating invalidates the iterators.
  const_iterator begin() const;
  const_iterator end() const;

 private:
  friend class JsonValue;
  friend class JsonObject;
  friend struct json_detail::Access;
  explicit JsonArray(json_detail::Handle data) : data_(std::move(data)) {}

  json_detail::Handle data_;
};

class JsonObject {
 public:
  // An empty handle; use New() or TryParse() for an object.
  JsonObject() = default;
  static JsonObject New();

  // The whole text must be one JSON object (RFC 8259; surrounding white space allowed). Anything
  // else, a top-level array or scalar, trailing text, a number beyond the double range or nesting
  // beyond kJsonMaxDepth, gives nullopt. Never raises for any text. Time is linear in the length
  // of the text, and the heap it takes, the tree included, stays within a small multiple of it
  // whatever the text's shape.
  static std::optional<JsonObject> TryParse(std::u16string_view text);

  // Compact JSON text, fields in insertion order.
  std::u16string Serialize() const;

  // Raises JsonError when the value is this object or contains it.
  void Insert(std::u16string_view key, JsonValue value);
  void InsertString(std::u16string_view key, std::u16string text);

  bool HasKey(std::u16string_view key) const;

  // Reads: the fallback (or the empty text) only when the key is absent; a present value of
  // another type raises JsonError.
  std::u16string GetStringOrEmpty(std::u16string_view key) const;
  double GetNumberOr(std::u16string_view key, double fallback) const;
  bool GetBooleanOr(std::u16string_view key, bool fallback) const;
  JsonObject GetObjectOr(std::u16string_view key, JsonObject fallback) const;
  JsonArray GetArrayOr(std::u16string_view key, JsonArray fallback) const;
  // Required: raises JsonError when the key is absent too.
  JsonObject GetObject(std::u16string_view key) const;

 private:
  friend class JsonValue;
  friend struct json_detail::Access;
  explicit JsonObject(json_detail::Handle data) : data_(std::move(data)) {}

  const JsonValue* Find(std::u16string_view key) const;

  json_detail::Handle data_;
};

}  // namespace varnel
