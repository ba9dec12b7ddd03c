// Conformance against the public JSONTestSuite cases (github.com/nst/JSONTestSuite). Every case
// goes through the same UTF-8 to UTF-16 conversion as a received message does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "util/utf.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;

// Each case of one folder by file name; an empty list fails the counts below.
std::map<std::string, std::u16string> LoadCases(const char* folder) {
  const fs::path path = fs::path(QUILLORY_JSON_TEST_SUITE_DIR) / folder;
  std::map<std::string, std::u16string> cases;
  for (const auto& entry : fs::directory_iterator(path)) {  // throws when the folder is missing
    std::ifstream file(entry.path(), std::ios::binary);
    cases[entry.path().filename().string()] =
        Utf8ToUtf16(std::string(std::istreambuf_iterator<char>(file), {}));
  }
  return cases;
}

constexpr std::u16string_view kBlanks = u" \t\n\r";

// What was accepted must serialise to a text that parses back to the same object.
void ExpectStableRoundTrip(const std::optional<JsonObject>& object) {
  if (!object) return;
  const std::u16string first = object->Serialize();
  const auto again = JsonObject::TryParse(first);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Serialize(), first);
}

// Most cases are arrays or scalars, which fail for their top level alone. Wrapped as the value of
// a field, they test the value syntax itself.
TEST(JsonTestSuite, ParsingCasesAsTheyStandAndAsAFieldValue) {
  int accepted = 0;
  int rejected = 0;
  const auto cases = LoadCases("test_parsing");
  ASSERT_GT(cases.size(), 300u);
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    const auto parsed = JsonObject::TryParse(text);
    const auto as_field = JsonObject::TryParse(u"{\"v\":" + text + u"}");
    parsed ? ++accepted : ++rejected;
    if (name[0] == 'n') {
      EXPECT_FALSE(parsed || as_field) << "must be rejected, also as a field value";
    } else if (name[0] == 'y') {
      // Only a top-level object is a message; every other valid text is refused.
      const std::size_t at = text.find_first_not_of(kBlanks);
      EXPECT_EQ(parsed.has_value(), at != text.npos && text[at] == u'{');
      EXPECT_TRUE(as_field) << "must be accepted as a field value";
    } else {
      EXPECT_EQ(name[0], 'i');  // either answer, as long as it returns
    }
    ExpectStableRoundTrip(parsed);
    ExpectStableRoundTrip(as_field);
  }
  EXPECT_GT(accepted, 10);
  EXPECT_GT(rejected, 200);
}

// Each case as it reads back, written out again; array cases hold one value, read as field "v".
// Raw encoded surrogates never reach the parser: the wire conversion replaces each of their bytes
// with U+FFFD first.
TEST(JsonTestSuite, TransformCasesReadBackTheirValues) {
  const std::u16string nfc_nfd = u"\"\u00E9\":\"NFC\",\"e\u0301\":\"NFD\"";
  const std::u16string nfd_nfc = u"\"e\u0301\":\"NFD\",\"\u00E9\":\"NFC\"";
  const std::map<std::string, std::u16string> written = {
      {"number_-9223372036854775808.json", u"-9223372036854775808"},
      {"number_-9223372036854775809.json", u"-9223372036854775808"},
      {"number_1.0.json", u"1"},
      {"number_1.000000000000000005.json", u"1"},
      {"number_1000000000000000.json", u"1e+15"},
      {"number_10000000000000000999.json", u"1e+19"},
      {"number_1e-999.json", u"0"},
      {"number_1e6.json", u"1e+06"},
      {"number_9223372036854775807.json", u"9223372036854775808"},
      {"number_9223372036854775808.json", u"9223372036854775808"},
      {"object_key_nfc_nfd.json", u"{" + nfc_nfd + u"}"},
      {"object_key_nfd_nfc.json", u"{" + nfd_nfc + u"}"},
      {"object_same_key_different_values.json", u"{\"a\":2}"},
      {"object_same_key_same_value.json", u"{\"a\":1}"},
      {"object_same_key_unclear_values.json", u"{\"a\":0}"},
      {"string_1_escaped_invalid_codepoint.json", u"\"\\ud800\""},
      {"string_2_escaped_invalid_codepoints.json", u"\"\\ud800\\ud800\""},
      {"string_3_escaped_invalid_codepoints.json", u"\"\\ud800\\ud800\\ud800\""},
      {"string_1_invalid_codepoint.json", u"\"\uFFFD\uFFFD\uFFFD\""},
      {"string_2_invalid_codepoints.json", u"\"" + std::u16string(6, u'\uFFFD') + u"\""},
      {"string_3_invalid_codepoints.json", u"\"" + std::u16string(9, u'\uFFFD') + u"\""},
      {"string_with_escaped_NULL.json", u"\"A\\u0000B\""},
  };
  std::map<std::string, std::u16string> seen;
  for (auto [name, text] : LoadCases("test_transform")) {
    text.erase(text.find_last_not_of(kBlanks) + 1);
    const bool array = text.starts_with(u'[');
    if (array) text = u"{\"v\":" + text.substr(1, text.size() - 2) + u"}";
    const auto parsed = JsonObject::TryParse(text);
    ASSERT_TRUE(parsed) << name;
    ExpectStableRoundTrip(parsed);
    const std::u16string out = parsed->Serialize();
    seen[name] = array ? out.substr(5, out.size() - 6) : out;  // strip {"v": and }
  }
  EXPECT_EQ(seen, written);
}

}  // namespace
}  // namespace varnel
