// Conformance against the public JSONTestSuite cases (github.com/nst/JSONTestSuite). Every case
// goes through the same UTF-8 to UTF-16 conversion as a received message does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "util/utf.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;

const fs::path kSuite = QUILLORY_JSON_TEST_SUITE_DIR;

struct Case {
  std::string name;
  std::u16string text;
};

std::vector<Case> LoadCases(const char* folder) {
  if (!fs::is_directory(kSuite / folder)) {
    throw std::runtime_error("JSONTestSuite cases not found at " + (kSuite / folder).string() +
                             " (the shared folder must sit beside the repository)");
  }
  std::vector<Case> cases;
  for (const auto& entry : fs::directory_iterator(kSuite / folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    cases.push_back({entry.path().filename().string(), Utf8ToUtf16(bytes)});
  }
  return cases;
}

constexpr std::u16string_view kBlanks = u" \t\n\r";

bool TopLevelIsObject(std::u16string_view text) {
  const std::size_t at = text.find_first_not_of(kBlanks);
  return at != std::u16string_view::npos && text[at] == u'{';
}

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
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const auto parsed = JsonObject::TryParse(test.text);
    const auto as_field = JsonObject::TryParse(u"{\"v\":" + test.text + u"}");
    parsed ? ++accepted : ++rejected;
    switch (test.name[0]) {
      case 'n':
        EXPECT_FALSE(parsed) << "must be rejected";
        EXPECT_FALSE(as_field) << "must be rejected as a field value";
        break;
      case 'y':
        // Only a top-level object is a message; every other valid text is refused.
        EXPECT_EQ(parsed.has_value(), TopLevelIsObject(test.text));
        EXPECT_TRUE(as_field) << "must be accepted as a field value";
        break;
      case 'i':
        break;  // either answer, as long as it returns
      default:
        ADD_FAILURE() << "unexpected case name";
    }
    ExpectStableRoundTrip(parsed);
    ExpectStableRoundTrip(as_field);
  }
  EXPECT_GT(accepted, 10);
  EXPECT_GT(rejected, 200);
}

TEST(JsonTestSuite, TransformCasesReadBackTheirValues) {
  const std::u16string d800(1, char16_t{0xD800});
  auto number_is = [](double expected) {
    return [=](const JsonObject& object) { EXPECT_EQ(object.GetNumberOr(u"v", -1), expected); };
  };
  auto string_is = [](std::u16string expected) {
    return [=](const JsonObject& object) { EXPECT_EQ(object.GetStringOrEmpty(u"v"), expected); };
  };
  auto key_is = [](double expected) {
    return [=](const JsonObject& object) {
      EXPECT_EQ(object.GetNumberOr(u"a", -1), expected);
      EXPECT_EQ(object.Serialize().find(u"\"a\":", 5), std::u16string::npos) << "one key only";
    };
  };
  auto nfc_and_nfd_are_two_keys = [](const JsonObject& object) {
    EXPECT_EQ(object.GetStringOrEmpty(u"\u00E9"), u"NFC");
    EXPECT_EQ(object.GetStringOrEmpty(u"e\u0301"), u"NFD");
  };
  const std::map<std::string, std::function<void(const JsonObject&)>> expectations = {
      {"number_-9223372036854775808.json", number_is(-9223372036854775808.0)},
      {"number_-9223372036854775809.json", number_is(-9223372036854775808.0)},
      {"number_1.0.json", number_is(1.0)},
      {"number_1.000000000000000005.json", number_is(1.0)},
      {"number_1000000000000000.json", number_is(1e15)},
      {"number_10000000000000000999.json", number_is(1e19)},
      {"number_1e-999.json", number_is(0.0)},
      {"number_1e6.json", number_is(1e6)},
      {"number_9223372036854775807.json", number_is(9223372036854775808.0)},
      {"number_9223372036854775808.json", number_is(9223372036854775808.0)},
      {"object_key_nfc_nfd.json", nfc_and_nfd_are_two_keys},
      {"object_key_nfd_nfc.json", nfc_and_nfd_are_two_keys},
      {"object_same_key_different_values.json", key_is(2)},
      {"object_same_key_same_value.json", key_is(1)},
      {"object_same_key_unclear_values.json", key_is(0)},
      {"string_1_escaped_invalid_codepoint.json", string_is(d800)},
      {"string_2_escaped_invalid_codepoints.json", string_is(d800 + d800)},
      {"string_3_escaped_invalid_codepoints.json", string_is(d800 + d800 + d800)},
      // Raw encoded surrogates never reach the parser: the wire conversion replaces each of their
      // bytes with U+FFFD first.
      {"string_1_invalid_codepoint.json", string_is(std::u16string(3, u'\uFFFD'))},
      {"string_2_invalid_codepoints.json", string_is(std::u16string(6, u'\uFFFD'))},
      {"string_3_invalid_codepoints.json", string_is(std::u16string(9, u'\uFFFD'))},
      {"string_with_escaped_NULL.json", string_is(std::u16string(u"A\0B", 3))},
  };

  std::size_t checked = 0;
  for (const Case& test : LoadCases("test_transform")) {
    SCOPED_TRACE(test.name);
    const auto expectation = expectations.find(test.name);
    ASSERT_NE(expectation, expectations.end()) << "no expectation for this case";
    // Array cases hold one value; it is read back as field "v".
    std::u16string text = test.text;
    text.erase(text.find_last_not_of(kBlanks) + 1);
    if (!text.empty() && text.front() == u'[' && text.back() == u']') {
      text = u"{\"v\":" + text.substr(1, text.size() - 2) + u"}";
    }
    const auto parsed = JsonObject::TryParse(text);
    ASSERT_TRUE(parsed);
    expectation->second(*parsed);
    ExpectStableRoundTrip(parsed);
    ++checked;
  }
  EXPECT_EQ(checked, expectations.size());
}

}  // namespace
}  // namespace varnel
