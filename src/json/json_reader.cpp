// Parsing received text: checked and counted completely before anything is built.
#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/json_storage.h"
#include "util/hex.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json_detail::Access;
using json_detail::Container;
using json_detail::Handle;
using json_detail::Member;
using json_detail::SkipUntil;
using Kind = Access::Kind;

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

}  // namespace varnel
