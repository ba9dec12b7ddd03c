// The heap a reply can make the parser take, whatever shape the server gives it. This suite is a
// program of its own because it replaces the global allocation functions to count every block
// held.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "support/counting_heap.h"
#include "util/utf.h"

namespace varnel {
namespace {

// The largest reply the exchange accepts, in UTF-8 bytes, and what one may cost while parsing.
constexpr std::size_t kReplyBytes = 360000;
constexpr std::size_t kBytesPerByte = 16;

// A reply of exactly kReplyBytes whose padding array repeats `item` as often as fits (blanks make
// up the rest). `vary` turns each item into a distinct one where that matters (object keys).
std::string Reply(const std::string& open, const std::string& item, const std::string& close,
                  std::string (*vary)(const std::string&, std::size_t) = nullptr) {
  std::string text = open;
  for (std::size_t i = 0;; ++i) {
    const std::string next = (i == 0 ? "" : ",") + (vary ? vary(item, i) : item);
    if (text.size() + next.size() + close.size() > kReplyBytes) break;
    text += next;
  }
  return text + std::string(kReplyBytes - text.size() - close.size(), ' ') + close;
}

std::string DistinctKey(const std::string& value, std::size_t i) {
  static constexpr char kDigits[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string key;
  do {
    key += kDigits[i % 62];
    i /= 62;
  } while (i != 0);
  return "\"" + key + "\":" + value;
}

std::string SixteenKeys(const std::string& value, std::size_t) {
  std::string object = "{";
  for (char key = 'a'; key < 'a' + 16; ++key) {
    object += std::string(key == 'a' ? "" : ",") + "\"" + key + "\":" + value;
  }
  return object + "}";
}

struct Shape {
  const char* name;
  std::string text;
};

std::vector<Shape> Shapes() {
  const std::string padding = R"({"ok":true,"padding":[)";
  const int chain = kJsonMaxDepth - 2;  // below the reply object and its padding array
  const std::string long_text(kReplyBytes - 40, 'A');
  std::string escapes;
  while (escapes.size() < kReplyBytes - 40) escapes += "\\u00e9";
  return {
      {"file chunk", R"({"ok":true,"file_reply":{"data":")" + long_text + "\"}}"},
      {"key batch", Reply(padding, R"({"kind":"key_down","key":65})", "]}")},
      {"empty objects", Reply(padding, "{}", "]}")},
      {"empty arrays", Reply(padding, "[]", "]}")},
      {"one-element arrays", Reply(padding, "[[]]", "]}")},
      {"one-member objects", Reply(padding, R"({"":{}})", "]}")},
      {"nested to the cap",
       Reply(padding, std::string(chain, '[') + std::string(chain, ']'), "]}")},
      {"many short keys", Reply("{", "0", "}", DistinctKey)},
      {"one key repeated", Reply("{", R"("a":0)", "}")},
      {"objects of sixteen keys", Reply(padding, "0", "]}", SixteenKeys)},
      {"small numbers", Reply(padding, "0", "]}")},
      {"short strings", Reply(padding, "\"a\"", "]}")},
      {"escaped text", R"({"ok":true,"text":")" + escapes + "\"}"},
  };
}

TEST(JsonReplyCost, EveryShapeParsesWithinSixteenBytesOfHeapPerByte) {
  for (const Shape& shape : Shapes()) {
    SCOPED_TRACE(shape.name);
    ASSERT_LE(shape.text.size(), kReplyBytes);
    ASSERT_GT(shape.text.size(), kReplyBytes - 100);
    const std::u16string text = Utf8ToUtf16(shape.text);

    const std::size_t before = counting_heap::RestartPeak();
    std::optional<JsonObject> reply = JsonObject::TryParse(text);
    const std::size_t peak = counting_heap::peak - before;
    ASSERT_TRUE(reply.has_value());
    EXPECT_LE(peak, kBytesPerByte * shape.text.size())
        << static_cast<double>(peak) / static_cast<double>(shape.text.size()) << " bytes per byte";
    // The tree is the whole cost: nothing is left behind once the reply goes.
    reply.reset();
    EXPECT_EQ(counting_heap::held, before);
  }
}

}  // namespace
}  // namespace varnel
