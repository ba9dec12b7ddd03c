#include "json/json.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "nlohmann/json.hpp"
#include "util/hex.h"
#include "util/utf.h"

namespace varnel {

namespace json_detail {

// Objects keep their members in insertion order. Lookups scan while the object is small, as every
// protocol object is; a received object with thousands of keys gets a hash index so that parsing
// it stays linear.
struct ObjectData {
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view key) const noexcept {
      return std::hash<std::u16string_view>{}(key);
    }
  };
  static constexpr std::size_t kIndexFrom = 16;

  std::vector<std::pair<std::u16string, JsonValue>> members;
  std::unordered_map<std::u16string, std::size_t, KeyHash, std::equal_to<>> index;

  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

  std::size_t IndexOf(std::u16string_view key) const {
    if (!index.empty()) {
      const auto found = index.find(key);
      return found == index.end() ? kAbsent : found->second;
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].first == key) return i;
    }
    return kAbsent;
  }

  const JsonValue* Find(std::u16string_view key) const {
    const std::size_t at = IndexOf(key);
    return at == kAbsent ? nullptr : &members[at].second;
  }

  void Set(std::u16string key, JsonValue value) {
    const std::size_t at = IndexOf(key);
    if (at != kAbsent) {
      members[at].second = std::move(value);
      return;
    }
    members.emplace_back(std::move(key), std::move(value));
    if (!index.empty()) {
      index.emplace(members.back().first, members.size() - 1);
    } else if (members.size() >= kIndexFrom) {
      for (std::size_t i = 0; i < members.size(); ++i) index.emplace(members[i].first, i);
    }
  }
};

struct Access {
  using Storage = JsonValue::Storage;
  static const Storage& StorageOf(const JsonValue& value) { return value.storage_; }
  static JsonValue Make(Storage storage) { return JsonValue(std::move(storage)); }
};

}  // namespace json_detail

namespace {

using json_detail::Access;
using json_detail::ArrayData;
using json_detail::ObjectData;
using ObjectPtr = std::shared_ptr<ObjectData>;
using ArrayPtr = std::shared_ptr<ArrayData>;
using Storage = Access::Storage;

std::string KeyForMessage(std::u16string_view key) { return Utf16ToUtf8(key.substr(0, 80)); }

[[noreturn]] void ThrowWrongType(std::u16string_view key, const char* expected) {
  throw JsonError("JSON field \"" + KeyForMessage(key) + "\" is not " + expected);
}

template <typename Visit>
void ForEachChild(const Storage& value, Visit visit) {
  if (const auto* object = std::get_if<ObjectPtr>(&value)) {
    for (const auto& member : (*object)->members) visit(Access::StorageOf(member.second));
  } else if (const auto* array = std::get_if<ArrayPtr>(&value)) {
    for (const auto& element : (*array)->values) visit(Access::StorageOf(element));
  }
}

const void* ContainerOf(const Storage& value) {
  if (const auto* object = std::get_if<ObjectPtr>(&value)) return object->get();
  if (const auto* array = std::get_if<ArrayPtr>(&value)) return array->get();
  return nullptr;
}

// A handle inserted into a container must not lead back to it: the reference counts would never
// drop and serialising would never end. Shared sub-objects are visited once. The usual insert, a
// container holding only strings, numbers and booleans, is settled without allocating.
bool Reaches(const Storage& value, const void* target) {
  if (ContainerOf(value) == target) return true;
  bool nested = false;
  ForEachChild(value, [&](const Storage& child) { nested = nested || ContainerOf(child); });
  if (!nested) return false;

  std::vector<const Storage*> pending{&value};
  std::unordered_set<const void*> visited;
  while (!pending.empty()) {
    const Storage* current = pending.back();
    pending.pop_back();
    const void* container = ContainerOf(*current);
    if (container == nullptr) continue;
    if (container == target) return true;
    if (!visited.insert(container).second) continue;
    ForEachChild(*current, [&](const Storage& child) { pending.push_back(&child); });
  }
  return false;
}

void CheckNoCycle(const JsonValue& value, const void* target) {
  const auto& storage = Access::StorageOf(value);
  const bool is_container =
      std::holds_alternative<ObjectPtr>(storage) || std::holds_alternative<ArrayPtr>(storage);
  if (is_container && Reaches(storage, target)) {
    throw JsonError("A JSON object or array cannot contain itself");
  }
}

// ---- Serialising -------------------------------------------------------------------------------

// The text is produced twice over the same code: once to count its length, once to write it into a
// buffer of exactly that size, so a large message costs one allocation and no regrowth copies.
struct CountingSink {
  std::size_t size = 0;
  void Put(char16_t) { ++size; }
  void Append(std::u16string_view text) { size += text.size(); }
};

struct WritingSink {
  std::u16string& out;
  void Put(char16_t unit) { out.push_back(unit); }
  void Append(std::u16string_view text) { out.append(text); }
};

template <typename Sink>
void WriteAscii(std::string_view ascii, Sink& sink) {
  for (const char c : ascii) sink.Put(static_cast<char16_t>(c));
}

template <typename Sink>
void WriteNumber(double number, Sink& sink) {
  // Negative zero is written as 0: "-0" would read back as the integer 0 and a second round trip
  // would then differ from the first.
  if (number == 0) {
    sink.Put(u'0');
    return;
  }
  // Shortest text that reads back as the same double; whole numbers come out without a fraction
  // (1280, 1e+21 for numbers whose fixed form would be longer).
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  WriteAscii(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)), sink);
}

template <typename Sink>
void WriteEscaped(char16_t unit, Sink& sink) {
  static constexpr std::pair<char16_t, char> kShortForms[] = {
      {u'"', '"'},  {u'\\', '\\'}, {u'\b', 'b'}, {u'\f', 'f'},
      {u'\n', 'n'}, {u'\r', 'r'},  {u'\t', 't'}};
  for (const auto& [escaped, letter] : kShortForms) {
    if (unit == escaped) {
      sink.Put(u'\\');
      sink.Put(static_cast<char16_t>(letter));
      return;
    }
  }
  sink.Put(u'\\');
  sink.Put(u'u');
  for (int shift = 12; shift >= 0; shift -= 4) sink.Put(kLowerHexDigits[(unit >> shift) & 0xF]);
}

// The position of the first unit at or after `at` for which `special` holds. Most texts are long
// runs of plain units (all of a Base64 picture), so whole blocks are tested without an early exit,
// which the compiler turns into vector code; `special` must be branch-free for that, and a template
// argument rather than a function pointer, so that each scan calls it directly.
template <unsigned (*special)(char16_t)>
std::size_t SkipUntil(std::u16string_view text, std::size_t at) {
  constexpr std::size_t kBlock = 32;
  while (at + kBlock <= text.size()) {
    unsigned flagged = 0;
    for (std::size_t k = 0; k < kBlock; ++k) flagged |= special(text[at + k]);
    if (flagged != 0) break;
    at += kBlock;
  }
  while (at < text.size() && special(text[at]) == 0) ++at;
  return at;
}

// Units a string cannot hold as they are: control characters, the quote, the backslash, and
// surrogates (a pair is written as it is, a lone one escaped).
unsigned NeedsEscape(char16_t unit) {
  return static_cast<unsigned>(unit < 0x20) | static_cast<unsigned>(unit == u'"') |
         static_cast<unsigned>(unit == u'\\') | static_cast<unsigned>((unit & 0xF800) == 0xD800);
}

std::size_t SkipPlain(std::u16string_view text, std::size_t at) {
  return SkipUntil<NeedsEscape>(text, at);
}

template <typename Sink>
void WriteString(std::u16string_view text, Sink& sink) {
  sink.Put(u'"');
  std::size_t run_start = 0;
  std::size_t at = SkipPlain(text, 0);
  while (at < text.size()) {
    const char16_t unit = text[at];
    if (IsHighSurrogate(unit) && at + 1 < text.size() && IsLowSurrogate(text[at + 1])) {
      at = SkipPlain(text, at + 2);
      continue;
    }
    // Control characters must be escaped; a lone surrogate is escaped so that the text stays
    // well-formed UTF-16 (and UTF-8 on the wire) yet reads back as the same unit.
    sink.Append(text.substr(run_start, at - run_start));
    WriteEscaped(unit, sink);
    run_start = at + 1;
    at = SkipPlain(text, run_start);
  }
  sink.Append(text.substr(run_start));
  sink.Put(u'"');
}

template <typename Sink>
void WriteObject(const ObjectData& object, Sink& sink, int depth);
template <typename Sink>
void WriteArray(const ArrayData& array, Sink& sink, int depth);

template <typename Sink>
void WriteValue(const JsonValue& value, Sink& sink, int depth) {
  const auto& storage = Access::StorageOf(value);
  if (std::holds_alternative<std::monostate>(storage)) {
    WriteAscii("null", sink);
  } else if (const auto* flag = std::get_if<bool>(&storage)) {
    WriteAscii(*flag ? "true" : "false", sink);
  } else if (const auto* number = std::get_if<double>(&storage)) {
    WriteNumber(*number, sink);
  } else if (const auto* text = std::get_if<std::u16string>(&storage)) {
    WriteString(*text, sink);
  } else if (const auto* object = std::get_if<ObjectPtr>(&storage)) {
    WriteObject(**object, sink, depth + 1);
  } else {
    WriteArray(*std::get<ArrayPtr>(storage), sink, depth + 1);
  }
}

void CheckDepth(int depth) {
  if (depth > kJsonMaxDepth) throw JsonError("JSON nesting is too deep to serialise");
}

template <typename Sink>
void WriteObject(const ObjectData& object, Sink& sink, int depth) {
  CheckDepth(depth);
  sink.Put(u'{');
  bool first = true;
  for (const auto& member : object.members) {
    if (!first) sink.Put(u',');
    first = false;
    WriteString(member.first, sink);
    sink.Put(u':');
    WriteValue(member.second, sink, depth);
  }
  sink.Put(u'}');
}

template <typename Sink>
void WriteArray(const ArrayData& array, Sink& sink, int depth) {
  CheckDepth(depth);
  sink.Put(u'[');
  bool first = true;
  for (const auto& element : array.values) {
    if (!first) sink.Put(u',');
    first = false;
    WriteValue(element, sink, depth);
  }
  sink.Put(u']');
}

// ---- Parsing -----------------------------------------------------------------------------------
//
// nlohmann/json parses UTF-8 and refuses "\ud800"-style escapes of lone surrogates, which are valid
// JSON syntax and which the platform parser accepts. So the UTF-16 text is handed to it through a
// rewrite that touches nothing but string contents: a lone surrogate (escaped or raw) becomes the
// noncharacter U+FDD0 followed by U+E000 + (unit - 0xD800), and a genuine U+FDD0 is doubled so
// the two can never be confused. Strings coming back from the parser are decoded the same way.

constexpr char32_t kMarker = 0xFDD0;
constexpr char32_t kLoneBase = 0xE000;

// The rewrite runs twice, first counting and then writing into a buffer of exactly that size.
struct ByteCounter {
  std::size_t size = 0;
  void Put(char32_t code_point) { size += Utf8Length(code_point); }
  void Narrow(std::u16string_view ascii) { size += ascii.size(); }
};

struct ByteWriter {
  char* next;
  void Put(char32_t code_point) { next = EncodeUtf8(code_point, next); }
  void Narrow(std::u16string_view ascii) {
    for (const char16_t unit : ascii) *next++ = static_cast<char>(unit);
  }
};

// ASCII other than the quote and the backslash means the same inside and outside strings and
// passes unchanged.
unsigned IsSpecialForParser(char16_t unit) {
  return static_cast<unsigned>(unit >= 0x80) | static_cast<unsigned>(unit == u'"') |
         static_cast<unsigned>(unit == u'\\');
}

template <typename Out>
void PutStringUnit(Out& out, char32_t code_point) {
  if (code_point == kMarker) {
    out.Put(kMarker);
    out.Put(kMarker);
  } else if (IsSurrogate(code_point)) {
    out.Put(kMarker);
    out.Put(kLoneBase + (code_point - 0xD800));
  } else {
    out.Put(code_point);
  }
}

// The value of a complete \uXXXX escape starting at `at`, or -1.
int UnicodeEscapeAt(std::u16string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != u'\\' || text[at + 1] != u'u') return -1;
  int value = 0;
  for (std::size_t k = 2; k < 6; ++k) {
    const int digit = HexValue(text[at + k]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

template <typename Out>
void RewriteForParser(std::u16string_view text, Out& out) {
  bool in_string = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t run_end = SkipUntil<IsSpecialForParser>(text, i);
    out.Narrow(text.substr(i, run_end - i));
    i = run_end;
    if (i == text.size()) break;
    const char16_t unit = text[i];
    if (!in_string) {
      // Outside strings only ASCII is valid; any other unit just has to stay invalid.
      if (unit == u'"') in_string = true;
      out.Put(IsSurrogate(unit) ? char32_t{0xFFFD} : unit);
      ++i;
    } else if (unit == u'"') {
      in_string = false;
      out.Put(unit);
      ++i;
    } else if (unit == u'\\') {
      const int escaped = UnicodeEscapeAt(text, i);
      if (IsHighSurrogate(static_cast<char32_t>(escaped)) &&
          IsLowSurrogate(static_cast<char32_t>(UnicodeEscapeAt(text, i + 6)))) {
        out.Narrow(text.substr(i, 12));
        i += 12;
      } else if (escaped == static_cast<int>(kMarker) ||
                 IsSurrogate(static_cast<char32_t>(escaped))) {
        PutStringUnit(out, static_cast<char32_t>(escaped));
        i += 6;
      } else {
        // Every other escape, valid or not, goes to the parser as written; the unit after the
        // backslash travels with it so that an escaped quote cannot end the string here.
        out.Put(unit);
        ++i;
        if (i < text.size()) {
          out.Put(IsSurrogate(text[i]) ? char32_t{0xFFFD} : text[i]);
          ++i;
        }
      }
    } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      out.Put(CombineSurrogates(unit, text[i + 1]));
      i += 2;
    } else {
      PutStringUnit(out, unit);
      ++i;
    }
  }
}

std::string ToParserInput(std::u16string_view text) {
  ByteCounter counter;
  RewriteForParser(text, counter);
  std::string input(counter.size, '\0');
  ByteWriter writer{input.data()};
  RewriteForParser(text, writer);
  return input;
}

std::u16string FromParserString(const std::string& utf8) {
  // Never more units than bytes; the buffer is cut to size at the end.
  std::u16string out(utf8.size(), u'\0');
  char16_t* next = out.data();
  std::size_t at = 0;
  while (at < utf8.size()) {
    if (static_cast<unsigned char>(utf8[at]) < 0x80) {
      *next++ = static_cast<unsigned char>(utf8[at++]);
      continue;
    }
    // DecodeUtf8 moves a copy: handing it `at` itself would keep `at` out of a register in the
    // ASCII loop above, which carries nearly all of a reply.
    std::size_t after = at;
    char32_t code_point = DecodeUtf8(utf8, after);
    if (code_point == kMarker && after < utf8.size()) {
      std::size_t marked = after;
      const char32_t following = DecodeUtf8(utf8, marked);
      if (following == kMarker) {
        after = marked;
      } else if (following >= kLoneBase && following < kLoneBase + 0x800) {
        code_point = 0xD800 + (following - kLoneBase);
        after = marked;
      }
    }
    at = after;
    next = EncodeUtf16(code_point, next);
  }
  out.resize(static_cast<std::size_t>(next - out.data()));
  return out;
}

// Builds the tree straight from the parser's events. Returning false stops the parse, which then
// reports failure: for a top level that is not an object and for nesting beyond the limit.
class TreeBuilder {
 public:
  using Json = nlohmann::json;

  bool null() { return Add(Access::Make(Storage{})); }
  bool boolean(bool value) { return Add(Access::Make(Storage{value})); }
  bool number_integer(Json::number_integer_t value) {
    return Add(Access::Make(Storage{static_cast<double>(value)}));
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return Add(Access::Make(Storage{static_cast<double>(value)}));
  }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return Add(Access::Make(Storage{value}));
  }
  bool string(Json::string_t& value) { return Add(Access::Make(Storage{FromParserString(value)})); }
  bool binary(Json::binary_t&) { return false; }

  bool start_object(std::size_t) {
    if (open_.size() >= static_cast<std::size_t>(kJsonMaxDepth)) return false;
    auto object = std::make_shared<ObjectData>();
    // Room for a typical protocol object up front instead of growing one member at a time.
    object->members.reserve(8);
    ObjectData* raw = object.get();
    if (open_.empty()) {
      if (root_) return false;
      root_ = std::move(object);
    } else if (!Add(Access::Make(Storage{std::move(object)}))) {
      return false;
    }
    open_.push_back(Open{raw, nullptr, {}});
    return true;
  }
  bool key(Json::string_t& value) {
    open_.back().key = FromParserString(value);
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (open_.empty() || open_.size() >= static_cast<std::size_t>(kJsonMaxDepth)) return false;
    auto array = std::make_shared<ArrayData>();
    ArrayData* raw = array.get();
    if (!Add(Access::Make(Storage{std::move(array)}))) return false;
    open_.push_back(Open{nullptr, raw, {}});
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }

  ObjectPtr TakeRoot() { return std::move(root_); }

 private:
  struct Open {
    ObjectData* object;
    ArrayData* array;
    std::u16string key;
  };

  bool Add(JsonValue value) {
    if (open_.empty()) return false;
    Open& top = open_.back();
    if (top.object != nullptr) {
      top.object->Set(std::move(top.key), std::move(value));
    } else {
      top.array->values.push_back(std::move(value));
    }
    return true;
  }

  ObjectPtr root_;
  std::vector<Open> open_;
};

}  // namespace

// ---- JsonValue ---------------------------------------------------------------------------------

JsonValue JsonValue::String(std::u16string text) { return JsonValue(Storage{std::move(text)}); }

JsonValue JsonValue::Number(double number) {
  if (!std::isfinite(number)) throw JsonError("A JSON number must be finite");
  return JsonValue(Storage{number});
}

JsonValue JsonValue::Boolean(bool value) { return JsonValue(Storage{value}); }

JsonValue::JsonValue(const JsonObject& object) {
  if (!object.data_) throw JsonError("Empty JSON object handle");
  storage_ = object.data_;
}

JsonValue::JsonValue(const JsonArray& array) {
  if (!array.data_) throw JsonError("Empty JSON array handle");
  storage_ = array.data_;
}

JsonObject JsonValue::AsObject() const {
  if (const auto* object = std::get_if<ObjectPtr>(&storage_)) return JsonObject(*object);
  throw JsonError("JSON value is not an object");
}

// ---- JsonArray ---------------------------------------------------------------------------------

JsonArray JsonArray::New() { return JsonArray(std::make_shared<ArrayData>()); }

void JsonArray::Append(JsonValue value) {
  if (!data_) throw JsonError("Empty JSON array handle");
  CheckNoCycle(value, data_.get());
  data_->values.push_back(std::move(value));
}

std::size_t JsonArray::size() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  return data_->values.size();
}

JsonArray::const_iterator JsonArray::begin() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  return data_->values.cbegin();
}

JsonArray::const_iterator JsonArray::end() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  return data_->values.cend();
}

// ---- JsonObject --------------------------------------------------------------------------------

JsonObject JsonObject::New() { return JsonObject(std::make_shared<ObjectData>()); }

std::optional<JsonObject> JsonObject::TryParse(std::u16string_view text) {
  const std::string input = ToParserInput(text);
  TreeBuilder builder;
  try {
    if (!nlohmann::json::sax_parse(input, &builder)) return std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  ObjectPtr root = builder.TakeRoot();
  if (!root) return std::nullopt;
  return JsonObject(std::move(root));
}

std::u16string JsonObject::Serialize() const {
  if (!data_) throw JsonError("Empty JSON object handle");
  CountingSink counter;
  WriteObject(*data_, counter, 1);
  std::u16string text;
  text.reserve(counter.size);
  WritingSink writer{text};
  WriteObject(*data_, writer, 1);
  return text;
}

void JsonObject::Insert(std::u16string_view key, JsonValue value) {
  if (!data_) throw JsonError("Empty JSON object handle");
  CheckNoCycle(value, data_.get());
  data_->Set(std::u16string(key), std::move(value));
}

void JsonObject::InsertString(std::u16string_view key, std::u16string text) {
  Insert(key, JsonValue::String(std::move(text)));
}

const JsonValue* JsonObject::Find(std::u16string_view key) const {
  if (!data_) throw JsonError("Empty JSON object handle");
  return data_->Find(key);
}

bool JsonObject::HasKey(std::u16string_view key) const { return Find(key) != nullptr; }

std::u16string JsonObject::GetStringOrEmpty(std::u16string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return {};
  if (const auto* text = std::get_if<std::u16string>(&value->storage_)) return *text;
  ThrowWrongType(key, "a string");
}

double JsonObject::GetNumberOr(std::u16string_view key, double fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (const auto* number = std::get_if<double>(&value->storage_)) return *number;
  ThrowWrongType(key, "a number");
}

bool JsonObject::GetBooleanOr(std::u16string_view key, bool fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (const auto* flag = std::get_if<bool>(&value->storage_)) return *flag;
  ThrowWrongType(key, "a boolean");
}

JsonObject JsonObject::GetObjectOr(std::u16string_view key, JsonObject fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (const auto* object = std::get_if<ObjectPtr>(&value->storage_)) return JsonObject(*object);
  ThrowWrongType(key, "an object");
}

JsonArray JsonObject::GetArrayOr(std::u16string_view key, JsonArray fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (const auto* array = std::get_if<ArrayPtr>(&value->storage_)) return JsonArray(*array);
  ThrowWrongType(key, "an array");
}

JsonObject JsonObject::GetObject(std::u16string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) throw JsonError("JSON field \"" + KeyForMessage(key) + "\" is missing");
  if (const auto* object = std::get_if<ObjectPtr>(&value->storage_)) return JsonObject(*object);
  ThrowWrongType(key, "an object");
}

}  // namespace varnel
