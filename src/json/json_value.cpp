// Values, arrays and objects: making, copying, reading and changing them.
#include <cmath>
#include <string>
#include <unordered_set>

#include "json/json.h"
#include "json/json_storage.h"
#include "util/shown_text.h"
#include "util/utf.h"

namespace varnel {

namespace json_detail {

void Retain(Container* container) noexcept {
  container->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(Container* container) noexcept {
  if (container->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) container->Destroy();
}

}  // namespace json_detail
namespace {

using json_detail::Access;
using json_detail::Container;
using json_detail::Handle;
using json_detail::Member;
using Kind = Access::Kind;

using Kind = Access::Kind;

std::string KeyForMessage(std::u16string_view key) {
  return Utf16ToUtf8(key.substr(0, kShownValueUnits));
}

[[noreturn]] void ThrowWrongType(std::u16string_view key, const char* expected) {
  throw JsonError("JSON field \"" + KeyForMessage(key) + "\" is not " + expected);
}

template <typename Visit>
void ForEachChild(Container& container, Visit visit) {
  if (container.is_object) {
    for (const Member& member : container.Members()) visit(member.value);
  } else {
    for (const JsonValue& element : container.Values()) visit(element);
  }
}

// A handle inserted into a container must not lead back to it: the reference counts would never
// drop and serialising would never end. Shared sub-objects are visited once. The usual insert, a
// container holding only strings, numbers and booleans, is settled without allocating.
bool Reaches(Container* from, const Container* target) {
  if (from == target) return true;
  bool nested = false;
  ForEachChild(*from, [&](const JsonValue& child) {
    nested = nested || Access::ContainerOf(child) != nullptr;
  });
  if (!nested) return false;

  std::vector<Container*> pending{from};
  std::unordered_set<const Container*> visited;
  while (!pending.empty()) {
    Container* current = pending.back();
    pending.pop_back();
    if (current == target) return true;
    if (!visited.insert(current).second) continue;
    ForEachChild(*current, [&](const JsonValue& child) {
      if (Container* container = Access::ContainerOf(child)) pending.push_back(container);
    });
  }
  return false;
}

void CheckNoCycle(const JsonValue& value, const Container* target) {
  Container* container = Access::ContainerOf(value);
  if (container != nullptr && Reaches(container, target)) {
    throw JsonError("A JSON object or array cannot contain itself");
  }
}

}  // namespace

// ---- JsonValue ---------------------------------------------------------------------------------

JsonValue JsonValue::String(std::u16string text) {
  JsonValue value;
  value.kind_ = Kind::kString;
  value.string_ = text.empty() ? nullptr : new std::u16string(std::move(text));
  return value;
}

JsonValue JsonValue::Number(double number) {
  if (!std::isfinite(number)) throw JsonError("A JSON number must be finite");
  JsonValue value;
  value.kind_ = Kind::kNumber;
  value.number_ = number;
  return value;
}

JsonValue JsonValue::Boolean(bool value) {
  JsonValue result;
  result.kind_ = value ? Kind::kTrue : Kind::kFalse;
  return result;
}

JsonValue::JsonValue(const JsonObject& object) : number_(0) {
  if (!object.data_) throw JsonError("Empty JSON object handle");
  json_detail::Retain(object.data_.get());
  kind_ = Kind::kObject;
  container_ = object.data_.get();
}

JsonValue::JsonValue(const JsonArray& array) : number_(0) {
  if (!array.data_) throw JsonError("Empty JSON array handle");
  json_detail::Retain(array.data_.get());
  kind_ = Kind::kArray;
  container_ = array.data_.get();
}

JsonValue::JsonValue(const JsonValue& other) : kind_(other.kind_), number_(other.number_) {
  if (kind_ == Kind::kString && string_ != nullptr) {
    string_ = new std::u16string(*other.string_);
  } else if (kind_ == Kind::kObject || kind_ == Kind::kArray) {
    json_detail::Retain(container_);
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    // Released last: the old value may own the container `other` lives in.
    JsonValue old(std::move(*this));
    kind_ = other.kind_;
    number_ = other.number_;
    other.kind_ = Kind::kNull;
  }
  return *this;
}

void JsonValue::Clear() noexcept {
  if (kind_ == Kind::kString) {
    delete string_;
  } else {
    json_detail::Release(container_);
  }
  kind_ = Kind::kNull;
}

JsonObject JsonValue::AsObject() const {
  if (kind_ != Kind::kObject) throw JsonError("JSON value is not an object");
  json_detail::Retain(container_);
  return JsonObject(Handle(container_));
}

// ---- JsonArray ---------------------------------------------------------------------------------

JsonArray JsonArray::New() { return JsonArray(Handle(Container::Allocate<JsonValue>(0, false))); }

void JsonArray::Append(JsonValue value) {
  if (!data_) throw JsonError("Empty JSON array handle");
  CheckNoCycle(value, data_.get());
  data_.get()->Append(std::move(value));
}

std::size_t JsonArray::size() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  return data_.get()->Values().size();
}

JsonArray::const_iterator JsonArray::begin() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  return data_.get()->Values().data();
}

JsonArray::const_iterator JsonArray::end() const {
  if (!data_) throw JsonError("Empty JSON array handle");
  const std::span<JsonValue> values = data_.get()->Values();
  return values.data() + values.size();
}

// ---- JsonObject --------------------------------------------------------------------------------

JsonObject JsonObject::New() { return JsonObject(Handle(Container::Allocate<Member>(0, true))); }

void JsonObject::Insert(std::u16string_view key, JsonValue value) {
  if (!data_) throw JsonError("Empty JSON object handle");
  CheckNoCycle(value, data_.get());
  data_.get()->Set(std::u16string(key), std::move(value));
}

void JsonObject::InsertString(std::u16string_view key, std::u16string text) {
  Insert(key, JsonValue::String(std::move(text)));
}

const JsonValue* JsonObject::Find(std::u16string_view key) const {
  if (!data_) throw JsonError("Empty JSON object handle");
  return data_.get()->Find(key);
}

bool JsonObject::HasKey(std::u16string_view key) const { return Find(key) != nullptr; }

std::u16string JsonObject::GetStringOrEmpty(std::u16string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return {};
  if (value->kind_ == JsonValue::Kind::kString) return std::u16string(Access::TextOf(*value));
  ThrowWrongType(key, "a string");
}

double JsonObject::GetNumberOr(std::u16string_view key, double fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (value->kind_ == JsonValue::Kind::kNumber) return value->number_;
  ThrowWrongType(key, "a number");
}

bool JsonObject::GetBooleanOr(std::u16string_view key, bool fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (value->kind_ == JsonValue::Kind::kTrue) return true;
  if (value->kind_ == JsonValue::Kind::kFalse) return false;
  ThrowWrongType(key, "a boolean");
}

JsonObject JsonObject::GetObjectOr(std::u16string_view key, JsonObject fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (value->kind_ == JsonValue::Kind::kObject) return value->AsObject();
  ThrowWrongType(key, "an object");
}

JsonArray JsonObject::GetArrayOr(std::u16string_view key, JsonArray fallback) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return fallback;
  if (value->kind_ == JsonValue::Kind::kArray) {
    json_detail::Retain(value->container_);
    return JsonArray(Handle(value->container_));
  }
  ThrowWrongType(key, "an array");
}

JsonObject JsonObject::GetObject(std::u16string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) throw JsonError("JSON field \"" + KeyForMessage(key) + "\" is missing");
  if (value->kind_ == JsonValue::Kind::kObject) return value->AsObject();
  ThrowWrongType(key, "an object");
}

}  // namespace varnel
