#include "json/json.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "util/hex.h"
#include "util/utf.h"

namespace varnel {

namespace json_detail {

struct Member {
  std::u16string key;
  JsonValue value;
};

// A received object with thousands of keys is looked up through a hash index, so that parsing it
// stays linear; small objects, every protocol object among them, are scanned. Open addressing over
// member positions (plus one; zero is a free slot), at most half full.
//
// The server chooses the keys, so the hash is keyed with a secret drawn once per process
// (SipHash-1-3 over the units): keys that all land on one slot cannot be prepared in advance.
class KeyIndex {
 public:
  static constexpr std::size_t kFrom = 16;

  static std::size_t Hash(std::u16string_view key) noexcept {
    static const std::array<std::uint64_t, 2> secret = [] {
      std::random_device device;
      const auto draw = [&] { return std::uint64_t{device()} << 32 | device(); };
      return std::array<std::uint64_t, 2>{draw(), draw()};
    }();
    std::uint64_t v0 = secret[0] ^ 0x736f6d6570736575;
    std::uint64_t v1 = secret[1] ^ 0x646f72616e646f6d;
    std::uint64_t v2 = secret[0] ^ 0x6c7967656e657261;
    std::uint64_t v3 = secret[1] ^ 0x7465646279746573;
    const auto round = [&] {
      v0 += v1;
      v1 = std::rotl(v1, 13) ^ v0;
      v0 = std::rotl(v0, 32);
      v2 += v3;
      v3 = std::rotl(v3, 16) ^ v2;
      v0 += v3;
      v3 = std::rotl(v3, 21) ^ v0;
      v2 += v1;
      v1 = std::rotl(v1, 17) ^ v2;
      v2 = std::rotl(v2, 32);
    };
    const auto absorb = [&](std::uint64_t word) {
      v3 ^= word;
      round();
      v0 ^= word;
    };
    std::size_t at = 0;
    for (; at + 4 <= key.size(); at += 4) {
      absorb(std::uint64_t{key[at]} | std::uint64_t{key[at + 1]} << 16 |
             std::uint64_t{key[at + 2]} << 32 | std::uint64_t{key[at + 3]} << 48);
    }
    std::uint64_t last = std::uint64_t{key.size() & 0xFF} << 56;
    for (int shift = 0; at < key.size(); ++at, shift += 16) last |= std::uint64_t{key[at]} << shift;
    absorb(last);
    v2 ^= 0xFF;
    round();
    round();
    round();
    return static_cast<std::size_t>(v0 ^ v1 ^ v2 ^ v3);
  }

  // Positions of `members` must all be distinct keys.
  void Rebuild(const std::vector<Member>& members, std::size_t room) {
    slots_.assign(std::bit_ceil(std::max<std::size_t>(2 * room, 32)), 0);
    for (std::size_t i = 0; i < members.size(); ++i) Place(members[i].key, i);
  }

  bool Active() const noexcept { return !slots_.empty(); }

  std::size_t Find(const std::vector<Member>& members, std::u16string_view key) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = Hash(key) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = slots_[slot];
      if (entry == 0) return kAbsent;
      if (members[entry - 1].key == key) return entry - 1;
    }
  }

  // After members.push_back: indexes the new last member, growing the table when half full.
  void Added(const std::vector<Member>& members) {
    if (2 * members.size() > slots_.size()) {
      Rebuild(members, members.size());
    } else {
      Place(members.back().key, members.size() - 1);
    }
  }

  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

 private:
  void Place(std::u16string_view key, std::size_t position) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = Hash(key) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(position + 1);
  }

  std::vector<std::uint32_t> slots_;
};

// Storage of a container that has grown after it was made (every container built by the program,
// and a received one that is added to).
struct GrownArray {
  std::vector<JsonValue> values;
};
struct GrownObject {
  std::vector<Member> members;
  KeyIndex index;
};

// One block per container: this header, then either its elements in place (a received container
// gets exactly as many as it holds) or, once grown, a pointer to its growable storage. The block
// always has room for that pointer.
struct Container {
  std::atomic<std::uint32_t> refs{1};
  std::uint16_t size = 0;  // elements in place, fewer than kCountedFrom
  bool is_object = false;
  bool grown = false;

  void* Tail() noexcept { return reinterpret_cast<char*>(this) + sizeof(Container); }
  JsonValue* InPlaceValues() noexcept { return static_cast<JsonValue*>(Tail()); }
  Member* InPlaceMembers() noexcept { return static_cast<Member*>(Tail()); }
  GrownArray*& Array() noexcept { return *static_cast<GrownArray**>(Tail()); }
  GrownObject*& Object() noexcept { return *static_cast<GrownObject**>(Tail()); }

  std::span<JsonValue> Values() noexcept {
    return grown ? std::span<JsonValue>(Array()->values) : std::span(InPlaceValues(), size);
  }
  std::span<Member> Members() noexcept {
    return grown ? std::span<Member>(Object()->members) : std::span(InPlaceMembers(), size);
  }

  // A container with room for `capacity` elements in place and none yet.
  template <typename Element>
  static Container* Allocate(std::size_t capacity, bool is_object) {
    static_assert(sizeof(Container) == 8 && alignof(Element) <= 8);
    const std::size_t tail = std::max(capacity * sizeof(Element), sizeof(void*));
    auto* container = ::new (::operator new(sizeof(Container) + tail)) Container;
    container->is_object = is_object;
    return container;
  }

  // Makes this container growable, moving its elements out of the block, with room for `room`.
  void Grow(std::size_t room = 4) {
    if (grown) return;
    room = std::max<std::size_t>(room, size + 1);
    if (is_object) {
      auto storage = std::make_unique<GrownObject>();
      storage->members.reserve(room);
      // In place there are fewer members than an index is built for.
      for (Member& member : Members()) storage->members.push_back(std::move(member));
      std::destroy_n(InPlaceMembers(), size);
      Object() = storage.release();
    } else {
      auto storage = std::make_unique<GrownArray>();
      storage->values.reserve(room);
      for (JsonValue& value : Values()) storage->values.push_back(std::move(value));
      std::destroy_n(InPlaceValues(), size);
      Array() = storage.release();
    }
    size = 0;
    grown = true;
  }

  void Destroy() noexcept {
    if (grown) {
      if (is_object) {
        delete Object();
      } else {
        delete Array();
      }
    } else if (is_object) {
      std::destroy_n(InPlaceMembers(), size);
    } else {
      std::destroy_n(InPlaceValues(), size);
    }
    this->~Container();
    ::operator delete(this);
  }

  static constexpr std::size_t kAbsent = KeyIndex::kAbsent;

  std::size_t IndexOf(std::u16string_view key) noexcept {
    if (grown && Object()->index.Active()) return Object()->index.Find(Object()->members, key);
    const std::span<Member> members = Members();
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].key == key) return i;
    }
    return kAbsent;
  }

  const JsonValue* Find(std::u16string_view key) noexcept {
    const std::size_t at = IndexOf(key);
    return at == kAbsent ? nullptr : &Members()[at].value;
  }

  void Set(std::u16string key, JsonValue value) {
    const std::size_t at = IndexOf(key);
    if (at != kAbsent) {
      Members()[at].value = std::move(value);
      return;
    }
    Grow();
    GrownObject& storage = *Object();
    storage.members.push_back(Member{std::move(key), std::move(value)});
    if (storage.index.Active()) {
      storage.index.Added(storage.members);
    } else if (storage.members.size() >= KeyIndex::kFrom) {
      storage.index.Rebuild(storage.members, storage.members.size());
    }
  }

  void Append(JsonValue value) {
    Grow();
    Array()->values.push_back(std::move(value));
  }
};

static_assert(sizeof(JsonValue) == 16, "a reply of small values costs 16 bytes a value");

void Retain(Container* container) noexcept {
  container->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(Container* container) noexcept {
  if (container->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) container->Destroy();
}

struct Access {
  using Kind = JsonValue::Kind;
  static Kind KindOf(const JsonValue& value) { return value.kind_; }
  static double NumberOf(const JsonValue& value) { return value.number_; }
  static std::u16string_view TextOf(const JsonValue& value) {
    return value.string_ == nullptr ? std::u16string_view() : std::u16string_view(*value.string_);
  }
  static Container* ContainerOf(const JsonValue& value) {
    return value.kind_ == Kind::kObject || value.kind_ == Kind::kArray ? value.container_ : nullptr;
  }
  static JsonValue Null() { return JsonValue(); }
  // Adopts one reference of the container.
  static JsonValue Adopt(Container* container) {
    JsonValue value;
    value.kind_ = container->is_object ? Kind::kObject : Kind::kArray;
    value.container_ = container;
    return value;
  }
};

}  // namespace json_detail

namespace {

using json_detail::Access;
using json_detail::Container;
using json_detail::Handle;
using json_detail::KeyIndex;
using json_detail::Member;
using Kind = Access::Kind;

std::string KeyForMessage(std::u16string_view key) { return Utf16ToUtf8(key.substr(0, 80)); }

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
void WriteContainer(Container& container, Sink& sink, int depth);

template <typename Sink>
void WriteValue(const JsonValue& value, Sink& sink, int depth) {
  switch (Access::KindOf(value)) {
    case Kind::kNull:
      return WriteAscii("null", sink);
    case Kind::kFalse:
      return WriteAscii("false", sink);
    case Kind::kTrue:
      return WriteAscii("true", sink);
    case Kind::kNumber:
      return WriteNumber(Access::NumberOf(value), sink);
    case Kind::kString:
      return WriteString(Access::TextOf(value), sink);
    case Kind::kObject:
    case Kind::kArray:
      return WriteContainer(*Access::ContainerOf(value), sink, depth + 1);
  }
}

template <typename Sink>
void WriteContainer(Container& container, Sink& sink, int depth) {
  if (depth > kJsonMaxDepth) throw JsonError("JSON nesting is too deep to serialise");
  bool first = true;
  if (container.is_object) {
    sink.Put(u'{');
    for (const Member& member : container.Members()) {
      if (!first) sink.Put(u',');
      first = false;
      WriteString(member.key, sink);
      sink.Put(u':');
      WriteValue(member.value, sink, depth);
    }
    sink.Put(u'}');
  } else {
    sink.Put(u'[');
    for (const JsonValue& element : container.Values()) {
      if (!first) sink.Put(u',');
      first = false;
      WriteValue(element, sink, depth);
    }
    sink.Put(u']');
  }
}

// ---- Parsing -----------------------------------------------------------------------------------
//
// The text is read twice. The first pass checks it completely and counts the elements of every
// container large enough for that to matter; the second builds the tree, giving each container a
// block of exactly its size: a small one's elements are gathered on a shared scratch stack until
// it closes, a large one's go straight into its block. So no container is ever regrown, the whole
// tree costs a small multiple of the text whatever its shape, and a refused text builds nothing.

struct Refused {};

// Units that end a plain run inside a string: control characters, the quote and the backslash.
unsigned EndsStringRun(char16_t unit) {
  return static_cast<unsigned>(unit < 0x20) | static_cast<unsigned>(unit == u'"') |
         static_cast<unsigned>(unit == u'\\');
}

bool IsDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

// Containers with fewer elements than this are gathered on the scratch stack.
constexpr std::uint32_t kCountedFrom = 16;

struct CountedContainer {
  std::uint32_t ordinal;  // in the order containers open
  std::uint32_t count;    // elements, repeated keys included
};

struct StringSpan {
  std::size_t begin;
  std::size_t end;    // the closing quote
  std::size_t units;  // once the escapes are decoded
  bool escaped;
};

template <bool kBuild>
class Parser {
 public:
  Parser(std::u16string_view text, std::vector<CountedContainer>& counted)
      : text_(text), counted_(counted) {}

  JsonValue Document() {
    // A byte order mark may lead the text (the wire conversion keeps one as U+FEFF).
    if (!text_.empty() && text_[0] == u'\uFEFF') at_ = 1;
    SkipBlanks();
    if (Peek() != u'{') throw Refused{};
    JsonValue root = Object(1);
    SkipBlanks();
    if (at_ != text_.size()) throw Refused{};
    return root;
  }

 private:
  static constexpr char32_t kEnd = 0xFFFFFFFF;

  char32_t Peek() const { return at_ < text_.size() ? text_[at_] : kEnd; }

  void SkipBlanks() {
    while (at_ < text_.size()) {
      const char16_t unit = text_[at_];
      if (unit != u' ' && unit != u'\n' && unit != u'\r' && unit != u'\t') return;
      ++at_;
    }
  }

  void Expect(char16_t unit) {
    if (Peek() != unit) throw Refused{};
    ++at_;
  }

  // After an element: true when another follows, false at the container's end.
  bool Next(char16_t close) {
    SkipBlanks();
    const char32_t unit = Peek();
    ++at_;
    if (unit == u',') return true;
    if (unit == close) return false;
    throw Refused{};
  }

  JsonValue Value(int depth) {
    SkipBlanks();
    switch (Peek()) {
      case u'{':
        return Object(depth + 1);
      case u'[':
        return Array(depth + 1);
      case u'"':
        return String();
      case u't':
        return Literal(u"true", Kind::kTrue);
      case u'f':
        return Literal(u"false", Kind::kFalse);
      case u'n':
        return Literal(u"null", Kind::kNull);
      default:
        return Number();
    }
  }

  JsonValue Literal(std::u16string_view word, Kind kind) {
    if (text_.substr(at_, word.size()) != word) throw Refused{};
    at_ += word.size();
    if (kind == Kind::kNull) return Access::Null();
    return JsonValue::Boolean(kind == Kind::kTrue);
  }

  // ---- Containers

  // First pass: the ordinal of the container opening now. Second pass: its element count, or 0
  // when it is a small one.
  std::uint32_t Opened() {
    const std::uint32_t ordinal = next_ordinal_++;
    if constexpr (kBuild) {
      if (next_counted_ < counted_.size() && counted_[next_counted_].ordinal == ordinal) {
        return counted_[next_counted_++].count;
      }
      return 0;
    }
    return ordinal;
  }

  void Closed(std::uint32_t ordinal, std::uint32_t count) {
    if (count >= kCountedFrom) counted_.push_back({ordinal, count});
  }

  // A small container closes: its elements move from the scratch stack, above `base`, into a block
  // of exactly their number, and the stack is ready for the enclosing container again.
  template <typename Element>
  static JsonValue Seal(std::vector<Element>& scratch, std::size_t base, bool is_object) {
    const std::size_t count = scratch.size() - base;
    Container* container = Container::Allocate<Element>(count, is_object);
    Element* place = static_cast<Element*>(container->Tail());
    for (std::size_t i = 0; i < count; ++i) {
      ::new (place + i) Element(std::move(scratch[base + i]));
      container->size = static_cast<std::uint16_t>(i + 1);
    }
    scratch.erase(scratch.begin() + static_cast<std::ptrdiff_t>(base), scratch.end());
    return Access::Adopt(container);
  }

  JsonValue Object(int depth) {
    if (depth > kJsonMaxDepth) throw Refused{};
    ++at_;
    const std::uint32_t opened = Opened();
    SkipBlanks();
    if constexpr (!kBuild) {
      std::uint32_t count = 0;
      if (Peek() == u'}') {
        ++at_;
      } else {
        do {
          Key();
          Value(depth);
          ++count;
        } while (Next(u'}'));
      }
      Closed(opened, count);
      return Access::Null();
    } else {
      if (opened != 0) return LargeObject(depth, opened);
      const std::size_t base = scratch_members_.size();
      if (Peek() == u'}') {
        ++at_;
      } else {
        do {
          std::u16string key = Key();
          JsonValue value = Value(depth);
          // Few members: a scan finds a repeated key, whose last value wins at its first place.
          auto repeated = std::find_if(scratch_members_.begin() + static_cast<std::ptrdiff_t>(base),
                                       scratch_members_.end(),
                                       [&](const Member& member) { return member.key == key; });
          if (repeated != scratch_members_.end()) {
            repeated->value = std::move(value);
          } else {
            scratch_members_.push_back(Member{std::move(key), std::move(value)});
          }
        } while (Next(u'}'));
      }
      return Seal(scratch_members_, base, true);
    }
  }

  JsonValue LargeObject(int depth, std::uint32_t count) {
    Container* container = Container::Allocate<Member>(0, true);
    JsonValue object = Access::Adopt(container);
    container->Grow(count);
    json_detail::GrownObject& storage = *container->Object();
    storage.index.Rebuild(storage.members, count);
    do {
      std::u16string key = Key();
      container->Set(std::move(key), Value(depth));
    } while (Next(u'}'));
    return object;
  }

  JsonValue Array(int depth) {
    if (depth > kJsonMaxDepth) throw Refused{};
    ++at_;
    const std::uint32_t opened = Opened();
    SkipBlanks();
    if constexpr (!kBuild) {
      std::uint32_t count = 0;
      if (Peek() == u']') {
        ++at_;
      } else {
        do {
          Value(depth);
          ++count;
        } while (Next(u']'));
      }
      Closed(opened, count);
      return Access::Null();
    } else {
      if (opened != 0) {
        // The array holds its elements from the start, so that they are freed on any failure.
        JsonValue array = Access::Adopt(Container::Allocate<JsonValue>(0, false));
        Container& container = *Access::ContainerOf(array);
        container.Grow(opened);
        std::vector<JsonValue>& values = container.Array()->values;
        do {
          values.push_back(Value(depth));
        } while (Next(u']'));
        return array;
      }
      const std::size_t base = scratch_values_.size();
      if (Peek() == u']') {
        ++at_;
      } else {
        do {
          scratch_values_.push_back(Value(depth));
        } while (Next(u']'));
      }
      return Seal(scratch_values_, base, false);
    }
  }

  // ---- Strings

  // Checks the string at the quote and steps past it.
  StringSpan ScanString() {
    if (Peek() != u'"') throw Refused{};
    StringSpan span{at_ + 1, 0, 0, false};
    std::size_t at = span.begin;
    std::size_t escapes = 0;  // units the escapes take beyond the units they stand for
    for (;;) {
      at = SkipUntil<EndsStringRun>(text_, at);
      if (at == text_.size() || text_[at] < 0x20) throw Refused{};
      if (text_[at] == u'"') break;
      span.escaped = true;
      if (at + 1 == text_.size()) throw Refused{};
      switch (text_[at + 1]) {
        case u'"':
        case u'\\':
        case u'/':
        case u'b':
        case u'f':
        case u'n':
        case u'r':
        case u't':
          at += 2;
          escapes += 1;
          break;
        case u'u':
          // Any four hex digits, a lone surrogate's included: it is held as the unit it names.
          for (std::size_t k = 2; k < 6; ++k) {
            if (at + k >= text_.size() || HexValue(text_[at + k]) < 0) throw Refused{};
          }
          at += 6;
          escapes += 5;
          break;
        default:
          throw Refused{};
      }
    }
    span.end = at;
    span.units = at - span.begin - escapes;
    at_ = at + 1;
    return span;
  }

  std::u16string Decode(const StringSpan& span) {
    if (!span.escaped) return std::u16string(text_.substr(span.begin, span.end - span.begin));
    std::u16string out(span.units, u'\0');
    char16_t* next = out.data();
    std::size_t at = span.begin;
    while (at < span.end) {
      const char16_t unit = text_[at];
      if (unit != u'\\') {
        *next++ = unit;
        ++at;
        continue;
      }
      const char16_t letter = text_[at + 1];
      switch (letter) {
        case u'b':
          *next++ = u'\b';
          break;
        case u'f':
          *next++ = u'\f';
          break;
        case u'n':
          *next++ = u'\n';
          break;
        case u'r':
          *next++ = u'\r';
          break;
        case u't':
          *next++ = u'\t';
          break;
        case u'u': {
          int value = 0;
          for (std::size_t k = 2; k < 6; ++k) value = value * 16 + HexValue(text_[at + k]);
          *next++ = static_cast<char16_t>(value);
          at += 4;
          break;
        }
        default:  // the quote, the backslash, the slash
          *next++ = letter;
      }
      at += 2;
    }
    return out;
  }

  std::u16string Key() {
    SkipBlanks();
    const StringSpan span = ScanString();
    SkipBlanks();
    Expect(u':');
    if constexpr (kBuild) {
      return Decode(span);
    } else {
      return {};
    }
  }

  JsonValue String() {
    const StringSpan span = ScanString();
    if constexpr (kBuild) {
      if (span.units == 0) return JsonValue::String({});
      return JsonValue::String(Decode(span));
    } else {
      return Access::Null();
    }
  }

  // ---- Numbers

  std::size_t SkipDigits(std::size_t at) const {
    while (at < text_.size() && IsDigit(text_[at])) ++at;
    return at;
  }

  JsonValue Number() {
    const std::size_t begin = at_;
    std::size_t at = begin;
    const bool negative = at < text_.size() && text_[at] == u'-';
    if (negative) ++at;
    if (at == text_.size() || !IsDigit(text_[at])) throw Refused{};
    at = text_[at] == u'0' ? at + 1 : SkipDigits(at);
    const std::size_t integer_end = at;
    bool whole = true;
    if (at < text_.size() && text_[at] == u'.') {
      if (at + 1 == text_.size() || !IsDigit(text_[at + 1])) throw Refused{};
      at = SkipDigits(at + 1);
      whole = false;
    }
    if (at < text_.size() && (text_[at] == u'e' || text_[at] == u'E')) {
      ++at;
      if (at < text_.size() && (text_[at] == u'+' || text_[at] == u'-')) ++at;
      if (at == text_.size() || !IsDigit(text_[at])) throw Refused{};
      at = SkipDigits(at);
      whole = false;
    }
    at_ = at;

    // Whole numbers of up to 15 digits are exact doubles; a negative zero among them reads as 0,
    // as an integer does.
    const std::size_t digits_begin = begin + (negative ? 1 : 0);
    if (whole && integer_end - digits_begin <= 15) {
      std::uint64_t magnitude = 0;
      for (std::size_t i = digits_begin; i < integer_end; ++i) {
        magnitude = magnitude * 10 + (text_[i] - u'0');
      }
      const double value = static_cast<double>(magnitude);
      return JsonValue::Number(magnitude != 0 && negative ? -value : value);
    }
    return JsonValue::Number(Convert(begin, at, whole));
  }

  // Every other number, correctly rounded. One beyond the double range is refused; one too small
  // for it reads as zero.
  double Convert(std::size_t begin, std::size_t end, bool whole) const {
    std::string ascii(end - begin, '\0');
    for (std::size_t i = begin; i < end; ++i) ascii[i - begin] = static_cast<char>(text_[i]);
    double value = 0;
    const auto [ptr, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (error == std::errc()) return whole && value == 0 ? 0.0 : value;
    if (error != std::errc::result_out_of_range) throw Refused{};
    return TooLarge(ascii) ? throw Refused{} : (ascii[0] == '-' ? -0.0 : 0.0);
  }

  // Whether a number the conversion found out of range is so by its size rather than smallness:
  // the power of ten of its first significant digit is positive.
  static bool TooLarge(std::string_view ascii) {
    const std::size_t exponent_at = std::min(ascii.find_first_of("eE"), ascii.size());
    const std::string_view mantissa = ascii.substr(0, exponent_at);
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos) return false;
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    long long power = first < point ? static_cast<long long>(point - first) - 1
                                    : -static_cast<long long>(first - point);
    if (exponent_at < ascii.size()) {
      std::string_view exponent = ascii.substr(exponent_at + 1);
      const bool negative = exponent.front() == '-';
      if (exponent.front() == '+' || negative) exponent.remove_prefix(1);
      long long magnitude = 0;
      for (const char digit : exponent)
        magnitude = std::min(magnitude * 10 + (digit - '0'), 1LL << 40);
      power += negative ? -magnitude : magnitude;
    }
    return power >= 0;
  }

  std::u16string_view text_;
  std::size_t at_ = 0;
  std::vector<CountedContainer>& counted_;
  std::uint32_t next_ordinal_ = 0;
  std::size_t next_counted_ = 0;
  std::vector<JsonValue> scratch_values_;
  std::vector<Member> scratch_members_;
};

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

std::optional<JsonObject> JsonObject::TryParse(std::u16string_view text) {
  std::vector<CountedContainer> counted;
  try {
    Parser<false>(text, counted).Document();
  } catch (const Refused&) {
    return std::nullopt;
  }
  // Counts are recorded as containers close; the building pass meets them as they open.
  std::sort(
      counted.begin(), counted.end(),
      [](const CountedContainer& a, const CountedContainer& b) { return a.ordinal < b.ordinal; });
  JsonValue root = Parser<true>(text, counted).Document();
  return root.AsObject();
}

std::u16string JsonObject::Serialize() const {
  if (!data_) throw JsonError("Empty JSON object handle");
  CountingSink counter;
  WriteContainer(*data_.get(), counter, 1);
  std::u16string text;
  text.reserve(counter.size);
  WritingSink writer{text};
  WriteContainer(*data_.get(), writer, 1);
  return text;
}

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
