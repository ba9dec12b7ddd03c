#pragma once
// The inside of the JSON layer's values, shared by the value, writer and reader code: how a
// container is laid out in memory, counted and looked up. Nothing outside src/json includes it.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

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

}  // namespace json_detail

}  // namespace varnel
