// Syntax conformance is json_suite_test.cpp's; these tests hold the rules of our own on top.
#include "json/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "util/utf.h"

namespace varnel {
namespace {

JsonObject Parse(std::u16string_view text) {
  auto parsed = JsonObject::TryParse(text);
  if (!parsed) throw std::runtime_error("test text did not parse");
  return *parsed;
}

std::u16string StringOf(std::u16string_view json_string) {
  return Parse(u"{\"s\":" + std::u16string(json_string) + u"}").GetStringOrEmpty(u"s");
}

std::u16string WrittenAs(JsonValue value) {
  JsonObject object = JsonObject::New();
  object.Insert(u"v", std::move(value));
  const std::u16string text = object.Serialize();
  return text.substr(5, text.size() - 6);  // strip {"v": and }
}

TEST(JsonParse, OneWholeObjectWithinTheLimits) {
  EXPECT_FALSE(JsonObject::TryParse(u"{\"a\":1e400}"));
  EXPECT_FALSE(JsonObject::TryParse(u"{\"a\":-1e400}"));
  // Nothing may follow the object, a NUL included (other trailing text is the suite's).
  EXPECT_FALSE(JsonObject::TryParse(std::u16string(u"{}\0{", 4)));
  // A repeated key keeps the last value at the first place.
  EXPECT_EQ(Parse(u"{\"a\":1,\"b\":2,\"a\":{\"c\":3}}").Serialize(), u"{\"a\":{\"c\":3},\"b\":2}");

  auto nested = [](int depth) {
    std::u16string text;
    for (int i = 1; i < depth; ++i) text += u"{\"a\":";
    return text + u"{}" + std::u16string(depth - 1, u'}');
  };
  EXPECT_EQ(Parse(nested(kJsonMaxDepth)).Serialize(), nested(kJsonMaxDepth));
  EXPECT_FALSE(JsonObject::TryParse(nested(kJsonMaxDepth + 1)));
  // Arrays count the same as objects: the suite's flood of 100000 opening arrays fails fast.
}

TEST(JsonParse, ManyKeysAreFoundAndReplacedInPlace) {
  std::u16string text = u"{\"k0\":0";
  for (int i = 1; i < 100; ++i) {
    const std::u16string number = Utf8ToUtf16(std::to_string(i));
    text += u",\"k" + number + u"\":" + number;
  }
  const JsonObject object = Parse(text + u",\"k17\":\"again\"}");
  EXPECT_EQ(object.GetNumberOr(u"k99", -1), 99);
  EXPECT_EQ(object.GetStringOrEmpty(u"k17"), u"again");
  EXPECT_FALSE(object.HasKey(u"k100"));
  EXPECT_EQ(object.Serialize().substr(0, 21), u"{\"k0\":0,\"k1\":1,\"k2\":2");
}

TEST(JsonStrings, EscapesAndLoneSurrogatesRoundTrip) {
  const std::u16string text =
      u"quote\" backslash\\ slash/ \b\f\n\r\t \x01\x1F \u00E9\u20AC \U0001F600";
  const std::u16string written = WrittenAs(JsonValue::String(text));
  EXPECT_EQ(written,
            u"\"quote\\\" backslash\\\\ slash/ \\b\\f\\n\\r\\t \\u0001\\u001f "
            u"\u00E9\u20AC \U0001F600\"");
  EXPECT_EQ(StringOf(written), text);

  // Lone surrogates, escaped or raw, are held as single units and written back as escapes.
  const std::u16string high(1, char16_t{0xD800});
  const std::u16string low(1, char16_t{0xDC00});
  EXPECT_EQ(StringOf(u"\"\\uDC00\\ud800\""), low + high);
  EXPECT_EQ(StringOf(u"\"a\\ud800\\u0041\""), u"a" + high + u"A");
  EXPECT_EQ(StringOf(u"\"\\ud800\\ud800\\udc00\""), high + u"\U00010000");
  EXPECT_EQ(StringOf(u"\"" + high + u"\""), high);
  EXPECT_EQ(Parse(u"{\"\\udfff\":1}").GetNumberOr(std::u16string(1, char16_t{0xDFFF}), 0), 1);
  EXPECT_EQ(WrittenAs(JsonValue::String(u"x" + low + high + u"y")), u"\"x\\udc00\\ud800y\"");
  EXPECT_FALSE(JsonObject::TryParse(u"{\"s\":\"\\ud800\\u12\"}"));
  EXPECT_FALSE(JsonObject::TryParse(u"{\"s\":\"\\ud800\\x\"}"));

  // U+FDD0 followed by a private-use unit is what a held surrogate looks like inside the parser;
  // genuine texts of that shape must come out unchanged.
  const std::u16string tricky = u"\uFDD0\uE000 \uFDD0\uFDD0 \uFDD0";
  EXPECT_EQ(StringOf(u"\"" + tricky + u"\""), tricky);
  EXPECT_EQ(StringOf(u"\"\\ufdd0\\ue000 \\uFDD0\\uFDD0 \\uFDD0\""), tricky);
  EXPECT_EQ(Parse(u"{\"\uFDD0\uE7FF\":2}").GetNumberOr(u"\uFDD0\uE7FF", 0), 2);
}

TEST(JsonNumbers, WholeNumbersHaveNoFractionAndAllReadBackTheSame) {
  auto written = [](double number) { return WrittenAs(JsonValue::Number(number)); };
  EXPECT_EQ(written(1280) + u' ' + written(-0.0) + u' ' + written(4294967295.0) + u' ' +
                written(-2147483648.0) + u' ' + written(12.5) + u' ' + written(1e21),
            u"1280 0 4294967295 -2147483648 12.5 1e+21");
  for (const double number : {0.1, 1.0 / 3, 1e300, -2.5e-300, 123456789.125, 1e21}) {
    EXPECT_EQ(Parse(u"{\"n\":" + written(number) + u"}").GetNumberOr(u"n", 0), number);
  }
  EXPECT_THROW(JsonValue::Number(std::numeric_limits<double>::quiet_NaN()), JsonError);
  EXPECT_THROW(JsonValue::Number(std::numeric_limits<double>::infinity()), JsonError);
}

TEST(JsonObjectAccess, DefaultsOnlyForAbsentKeysAndOtherTypesRaise) {
  const JsonObject object = Parse(u"{\"s\":\"1\",\"n\":1,\"b\":true,\"o\":{},\"a\":[],\"z\":null}");
  EXPECT_EQ(object.GetStringOrEmpty(u"absent"), u"");
  EXPECT_EQ(object.GetNumberOr(u"absent", 7.5), 7.5);
  EXPECT_TRUE(object.GetBooleanOr(u"absent", true));
  JsonObject fallback = JsonObject::New();
  fallback.InsertString(u"marker", u"fallback");
  EXPECT_EQ(object.GetObjectOr(u"absent", fallback).GetStringOrEmpty(u"marker"), u"fallback");
  EXPECT_EQ(object.GetArrayOr(u"absent", JsonArray::New()).size(), 0u);
  EXPECT_FALSE(object.HasKey(u"S"));  // exact comparison
  EXPECT_THROW(object.GetObject(u"absent"), JsonError);

  EXPECT_THROW(object.GetStringOrEmpty(u"n"), JsonError);
  EXPECT_THROW(object.GetStringOrEmpty(u"z"), JsonError);
  EXPECT_THROW(object.GetNumberOr(u"s", 0), JsonError);
  EXPECT_THROW(object.GetBooleanOr(u"n", false), JsonError);
  EXPECT_THROW(object.GetObjectOr(u"a", JsonObject::New()), JsonError);
  EXPECT_THROW(object.GetObject(u"s"), JsonError);
  EXPECT_THROW(object.GetArrayOr(u"o", JsonArray::New()), JsonError);
  EXPECT_THROW(JsonValue::String(u"x").AsObject(), JsonError);
}

TEST(JsonHandles, CopiesShareTheirObjectAndInsertKeepsItsPlace) {
  JsonObject message = JsonObject::New();
  JsonObject alias = message;
  alias.InsertString(u"type", u"status");
  JsonArray monitors = JsonArray::New();
  message.Insert(u"monitors", monitors);
  JsonObject monitor = JsonObject::New();
  monitors.Append(monitor);
  // Changed after being inserted, and a replaced key stays where it was.
  monitor.InsertString(u"id", u"\\\\.\\DISPLAY1");
  message.InsertString(u"type", u"preview_frame");
  message.Insert(u"unchanged", JsonValue::Boolean(false));
  EXPECT_EQ(message.Serialize(),
            u"{\"type\":\"preview_frame\",\"monitors\":[{\"id\":\"\\\\\\\\.\\\\DISPLAY1\"}],"
            u"\"unchanged\":false}");

  // Reads hand out the object itself, not a copy.
  const JsonObject reply = Parse(u"{\"session\":{\"state\":\"waiting\"},\"inputs\":[{\"t\":1}]}");
  reply.GetObject(u"session").InsertString(u"state", u"active");
  EXPECT_EQ(reply.GetObject(u"session").GetStringOrEmpty(u"state"), u"active");
  const JsonArray inputs = reply.GetArrayOr(u"inputs", JsonArray::New());
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs.begin()->AsObject().GetNumberOr(u"t", 0), 1);
  // A received object or array takes new members after its own, wherever it is held from.
  reply.GetObject(u"session").InsertString(u"added", u"later");
  JsonArray(inputs).Append(JsonValue::Boolean(true));
  EXPECT_EQ(
      reply.Serialize(),
      u"{\"session\":{\"state\":\"active\",\"added\":\"later\"},\"inputs\":[{\"t\":1},true]}");
}

TEST(JsonHandles, CyclesEmptyHandlesAndDepthRaise) {
  JsonObject outer = JsonObject::New();
  JsonObject inner = JsonObject::New();
  JsonArray list = JsonArray::New();
  outer.Insert(u"inner", inner);
  inner.Insert(u"list", list);
  EXPECT_THROW(outer.Insert(u"self", outer), JsonError);
  EXPECT_THROW(inner.Insert(u"up", outer), JsonError);
  EXPECT_THROW(list.Append(outer), JsonError);
  EXPECT_THROW(list.Append(list), JsonError);
  outer.Insert(u"again", inner);  // sharing one child twice is no cycle
  EXPECT_EQ(outer.Serialize(), u"{\"inner\":{\"list\":[]},\"again\":{\"list\":[]}}");

  EXPECT_THROW(JsonObject().Serialize(), JsonError);
  EXPECT_THROW(JsonArray().Append(JsonValue::Boolean(true)), JsonError);
  EXPECT_THROW((void)JsonValue(JsonObject()), JsonError);

  JsonObject root = JsonObject::New();
  JsonObject current = root;
  for (int depth = 1; depth < kJsonMaxDepth; ++depth) {
    JsonObject child = JsonObject::New();
    current.Insert(u"a", child);
    current = child;
  }
  EXPECT_NO_THROW(root.Serialize());
  current.Insert(u"a", JsonObject::New());
  EXPECT_THROW(root.Serialize(), JsonError);
}

}  // namespace
}  // namespace varnel
