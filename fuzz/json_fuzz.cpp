// Fuzzes the JSON layer with arbitrary bytes, checking properties of every outcome:
// - parsing never raises and never crashes;
// - an accepted object serialises to a text that parses back to the same object (compared by
//   serialising again) and that survives the UTF-8 wire conversion unchanged;
// - on bytes that are well-formed UTF-8, the answer agrees with nlohmann/json's own validator,
//   apart from the deliberate differences: only a top-level object is accepted, nesting is
//   limited, lone surrogate escapes are held instead of refused, and a NUL does not end the text.
// - parsing takes at most 16 bytes of heap per unit of text (what a reply's largest size allows)
//   beyond a fixed allowance for the parser's scratch stack, counted through replaced allocation
//   functions.
// Every input is tried twice: as UTF-8 converted the way a received message is, and as UTF-16LE
// code units, so that raw lone surrogates are reachable too.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json/json.h"
#include "nlohmann/json.hpp"
#include "support/counting_heap.h"
#include "util/utf.h"

namespace {

using varnel::JsonObject;

using varnel::fuzz::Require;

constexpr std::size_t kBytesPerUnit = 16;
// The small containers still open, up to the depth limit times fifteen members, wait on the
// parser's scratch stack; that costs at most this much beyond the text's own allowance.
constexpr std::size_t kScratchAllowance = 128 * 1024;

std::optional<JsonObject> ParseWithinBudget(std::u16string_view text) {
  const std::size_t before = counting_heap::RestartPeak();
  auto parsed = JsonObject::TryParse(text);
  Require(counting_heap::peak.load() - before <= kBytesPerUnit * text.size() + kScratchAllowance);
  return parsed;
}

// What nlohmann/json makes of a text: valid or not, and if valid, the top level and the depth.
struct Reference {
  using Json = nlohmann::json;
  bool top_is_object = false;
  bool any_event = false;
  int depth = 0;
  int max_depth = 0;

  bool Scalar() {
    any_event = true;
    return true;
  }
  bool null() { return Scalar(); }
  bool boolean(bool) { return Scalar(); }
  bool number_integer(Json::number_integer_t) { return Scalar(); }
  bool number_unsigned(Json::number_unsigned_t) { return Scalar(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return Scalar(); }
  bool string(Json::string_t&) { return Scalar(); }
  bool binary(Json::binary_t&) { return Scalar(); }
  bool Open(bool object) {
    if (!any_event) top_is_object = object;
    any_event = true;
    ++depth;
    if (depth > max_depth) max_depth = depth;
    return true;
  }
  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool key(Json::string_t&) { return true; }
  bool end_object() {
    --depth;
    return true;
  }
  bool end_array() {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }
};

// Returns the serialised text of what was accepted, or nothing.
std::u16string CheckRoundTrip(std::u16string_view text, bool& accepted) {
  const auto parsed = ParseWithinBudget(text);
  accepted = parsed.has_value();
  if (!parsed) return {};
  const std::u16string first = parsed->Serialize();
  const auto again = JsonObject::TryParse(first);
  Require(again.has_value());
  Require(again->Serialize() == first);
  // Lone surrogates are escaped, so the text is well-formed and the wire keeps it intact.
  Require(varnel::Utf8ToUtf16(varnel::Utf16ToUtf8(first)) == first);
  return first;
}

void CompareWithReference(std::string_view bytes, bool accepted, std::u16string_view serialised) {
  // nlohmann/json takes a NUL byte for the end of the text and ignores what follows; a text holding
  // one is refused here, as a NUL is no JSON token and no unit a string may hold raw.
  if (bytes.find('\0') != std::string_view::npos) {
    Require(!accepted);
    return;
  }
  if (varnel::Utf16ToUtf8(varnel::Utf8ToUtf16(bytes)) != bytes) return;  // not well-formed UTF-8
  Reference reference;
  bool valid = false;
  try {
    valid = nlohmann::json::sax_parse(bytes, &reference);
  } catch (const nlohmann::json::exception&) {
    valid = false;
  }
  if (valid && reference.top_is_object && reference.max_depth <= varnel::kJsonMaxDepth) {
    Require(accepted);
  }
  // The only texts accepted beyond the reference are those holding lone surrogates, which come
  // back as \udXXX escapes (every other \u escape written is a control character, \u00XX).
  if (accepted && serialised.find(u"\\ud") == std::u16string_view::npos) Require(valid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  bool accepted = false;
  const std::u16string serialised = CheckRoundTrip(varnel::Utf8ToUtf16(bytes), accepted);
  CompareWithReference(bytes, accepted, serialised);

  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  }
  CheckRoundTrip(units, accepted);
  return 0;
}
