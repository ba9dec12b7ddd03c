// Serialising: an object to its text, in one allocation of exactly its length.
#include <charconv>
#include <string>

#include "json/json.h"
#include "json/json_storage.h"
#include "util/hex.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json_detail::Access;
using json_detail::Container;
using json_detail::Member;
using json_detail::SkipUntil;
using Kind = Access::Kind;

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

}  // namespace

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

}  // namespace varnel
