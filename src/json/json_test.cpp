#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace varnel {
namespace {

JsonObject Parse(std::u16string_view text) {
  auto parsed = JsonObject::TryParse(text);
  if (!parsed) throw std::runtime_error("test text did not parse");
  return *parsed;
}

std::u16string NumberText(double number) {
  JsonObject object = JsonObject::New();
  object.Insert(u"n", JsonValue::Number(number));
  const std::u16string text = object.Serialize();
  return text.substr(5, text.size() - 6);  // strip {"n": and }
}

TEST(JsonParse, AcceptsOnlyOneWholeObject) {
  EXPECT_FALSE(JsonObject::TryParse(u"[]"));
  EXPECT_FALSE(JsonObject::TryParse(u"42"));
  EXPECT_FALSE(JsonObject::TryParse(u""));
  EXPECT_FALSE(JsonObject::TryParse(u"{}{}"));
  EXPECT_FALSE(JsonObject::TryParse(u"{} x"));

  const auto empty = JsonObject::TryParse(u"{}");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Serialize(), u"{}");
  const auto spaced = JsonObject::TryParse(u" \r\n\t{ \"a\" : [ 1 , true , null ] }\n");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->Serialize(), u"{\"a\":[1,true,null]}");
}

TEST(JsonParse, NumbersOutsideTheDoubleRangeAreRefused) {
  EXPECT_FALSE(JsonObject::TryParse(u"{\"a\":1e400}"));
  EXPECT_FALSE(JsonObject::TryParse(u"{\"a\":-1e400}"));
  // Underflow is a value, not an error.
  EXPECT_EQ(Parse(u"{\"a\":1e-400}").GetNumberOr(u"a", 7), 0.0);
}

TEST(JsonParse, RepeatedKeyKeepsTheLastValueAtTheFirstPlace) {
  const JsonObject object = Parse(u"{\"a\":1,\"b\":2,\"a\":{\"c\":3}}");
  EXPECT_EQ(object.Serialize(), u"{\"a\":{\"c\":3},\"b\":2}");
}

TEST(JsonParse, NestingIsLimited) {
  auto nested = [](int depth) {
    std::u16string text;
    for (int i = 1; i < depth; ++i) text += u"{\"a\":";
    text += u"{}";
    for (int i = 1; i < depth; ++i) text += u"}";
    return text;
  };
  const auto deepest = JsonObject::TryParse(nested(kJsonMaxDepth));
  ASSERT_TRUE(deepest);
  EXPECT_EQ(deepest->Serialize(), nested(kJsonMaxDepth));
  EXPECT_FALSE(JsonObject::TryParse(nested(kJsonMaxDepth + 1)));
  // Arrays count the same as objects; an opening flood fails fast instead of exhausting a stack.
  EXPECT_FALSE(JsonObject::TryParse(u"{\"a\":" + std::u16string(100000, u'[')));
}

TEST(JsonParse, ManyKeysStayLinearAndCorrect) {
  std::u16string text = u"{";
  for (int i = 0; i < 5000; ++i) {
    const std::string number = std::to_string(i);
    text += (i ? u",\"k" : u"\"k") + std::u16string(number.begin(), number.end()) + u"\":" +
            std::u16string(number.begin(), number.end());
  }
  text += u",\"k17\":\"again\"}";
  const JsonObject object = Parse(text);
  EXPECT_EQ(object.GetNumberOr(u"k0", -1), 0);
  EXPECT_EQ(object.GetNumberOr(u"k4999", -1), 4999);
  EXPECT_EQ(object.GetStringOrEmpty(u"k17"), u"again");
  EXPECT_FALSE(object.HasKey(u"k5000"));
  const std::u16string serialised = object.Serialize();
  EXPECT_EQ(serialised.substr(0, 21), u"{\"k0\":0,\"k1\":1,\"k2\":2");
}

TEST(JsonStrings, EscapesAndUnicodeRoundTrip) {
  JsonObject object = JsonObject::New();
  object.InsertString(u"s",
                      u"quote\" backslash\\ slash/ \b\f\n\r\t \x01\x1F \u00E9\u20AC \U0001F600");
  const std::u16string text = object.Serialize();
  EXPECT_EQ(text,
            u"{\"s\":\"quote\\\" backslash\\\\ slash/ \\b\\f\\n\\r\\t \\u0001\\u001f "
            u"\u00E9\u20AC \U0001F600\"}");
  EXPECT_EQ(Parse(text).GetStringOrEmpty(u"s"), object.GetStringOrEmpty(u"s"));
  EXPECT_EQ(Parse(u"{\"s\":\"\\u00e9\\/\\ud83d\\ude00\\u0000x\"}").GetStringOrEmpty(u"s"),
            std::u16string(u"\u00E9/\U0001F600") + u'\0' + u"x");
}

TEST(JsonStrings, LoneSurrogatesAreHeldAsSingleUnits) {
  const std::u16string high(1, char16_t{0xD800});
  const std::u16string low(1, char16_t{0xDC00});
  EXPECT_EQ(Parse(u"{\"s\":\"\\ud800\"}").GetStringOrEmpty(u"s"), high);
  EXPECT_EQ(Parse(u"{\"s\":\"\\uDC00\\uD800\"}").GetStringOrEmpty(u"s"), low + high);
  EXPECT_EQ(Parse(u"{\"s\":\"a\\ud800\\u0041\"}").GetStringOrEmpty(u"s"), u"a" + high + u"A");
  EXPECT_EQ(Parse(u"{\"s\":\"\\ud800\\ud800\\udc00\"}").GetStringOrEmpty(u"s"),
            high + u"\U00010000");
  // Raw lone units (which the wire conversion never produces) are held as given too.
  EXPECT_EQ(Parse(u"{\"s\":\"" + high + u"\"}").GetStringOrEmpty(u"s"), high);
  // Keys as well.
  EXPECT_EQ(Parse(u"{\"\\udfff\":1}").GetNumberOr(std::u16string(1, char16_t{0xDFFF}), 0), 1);

  // Written back as escapes, so the text stays well-formed and reads back the same.
  JsonObject object = JsonObject::New();
  object.InsertString(u"s", u"x" + low + high + u"y");
  EXPECT_EQ(object.Serialize(), u"{\"s\":\"x\\udc00\\ud800y\"}");
  EXPECT_EQ(Parse(object.Serialize()).GetStringOrEmpty(u"s"), u"x" + low + high + u"y");

  // A broken escape after a lone surrogate is still a syntax error.
  EXPECT_FALSE(JsonObject::TryParse(u"{\"s\":\"\\ud800\\u12\"}"));
  EXPECT_FALSE(JsonObject::TryParse(u"{\"s\":\"\\ud800\\x\"}"));
}

TEST(JsonStrings, NoncharacterU_FDD0IsNotConfusedWithAHeldSurrogate) {
  // U+FDD0 followed by a private-use character is what a held surrogate looks like inside the
  // parser; genuine texts of that shape must come out unchanged.
  const std::u16string tricky = u"\uFDD0\uE000 \uFDD0\uFDD0 \uFDD0";
  EXPECT_EQ(Parse(u"{\"s\":\"" + tricky + u"\"}").GetStringOrEmpty(u"s"), tricky);
  EXPECT_EQ(Parse(u"{\"s\":\"\\ufdd0\\ue000 \\uFDD0\\uFDD0 \\uFDD0\"}").GetStringOrEmpty(u"s"),
            tricky);
  EXPECT_EQ(Parse(u"{\"\uFDD0\uE7FF\":2}").GetNumberOr(u"\uFDD0\uE7FF", 0), 2);
}

TEST(JsonNumbers, WholeNumbersHaveNoFraction) {
  EXPECT_EQ(NumberText(1280), u"1280");
  EXPECT_EQ(NumberText(-0.0), u"0");
  EXPECT_EQ(NumberText(4294967295.0), u"4294967295");
  EXPECT_EQ(NumberText(-2147483648.0), u"-2147483648");
  EXPECT_EQ(NumberText(12.5), u"12.5");
  EXPECT_EQ(NumberText(1e21), u"1e+21");
  // Every number reads back as the same double.
  for (const double number : {0.1, 1.0 / 3, 1e300, -2.5e-300, 123456789.125, 1e21}) {
    const JsonObject back = Parse(u"{\"n\":" + NumberText(number) + u"}");
    EXPECT_EQ(back.GetNumberOr(u"n", 0), number);
  }
  EXPECT_THROW(JsonValue::Number(std::numeric_limits<double>::quiet_NaN()), JsonError);
  EXPECT_THROW(JsonValue::Number(std::numeric_limits<double>::infinity()), JsonError);
}

TEST(JsonObjectAccess, AbsentKeysReadAsTheGivenDefaults) {
  const JsonObject object = Parse(u"{\"present\":1}");
  EXPECT_EQ(object.GetStringOrEmpty(u"absent"), u"");
  EXPECT_EQ(object.GetNumberOr(u"absent", 7.5), 7.5);
  EXPECT_TRUE(object.GetBooleanOr(u"absent", true));
  EXPECT_FALSE(object.GetBooleanOr(u"absent", false));
  JsonObject fallback = JsonObject::New();
  fallback.InsertString(u"marker", u"fallback");
  EXPECT_EQ(object.GetObjectOr(u"absent", fallback).GetStringOrEmpty(u"marker"), u"fallback");
  EXPECT_EQ(object.GetArrayOr(u"absent", JsonArray::New()).size(), 0u);
  EXPECT_FALSE(object.HasKey(u"absent"));
  EXPECT_FALSE(object.HasKey(u"Present"));  // exact comparison
  EXPECT_TRUE(object.HasKey(u"present"));
  EXPECT_THROW(object.GetObject(u"absent"), JsonError);
}

TEST(JsonObjectAccess, PresentValueOfAnotherTypeRaises) {
  const JsonObject object = Parse(u"{\"s\":\"1\",\"n\":1,\"b\":true,\"o\":{},\"a\":[],\"z\":null}");
  EXPECT_THROW(object.GetStringOrEmpty(u"n"), JsonError);
  EXPECT_THROW(object.GetStringOrEmpty(u"z"), JsonError);
  EXPECT_THROW(object.GetNumberOr(u"s", 0), JsonError);
  EXPECT_THROW(object.GetNumberOr(u"b", 0), JsonError);
  EXPECT_THROW(object.GetBooleanOr(u"n", false), JsonError);
  EXPECT_THROW(object.GetBooleanOr(u"z", false), JsonError);
  EXPECT_THROW(object.GetObjectOr(u"a", JsonObject::New()), JsonError);
  EXPECT_THROW(object.GetObject(u"s"), JsonError);
  EXPECT_THROW(object.GetArrayOr(u"o", JsonArray::New()), JsonError);
}

TEST(JsonObjectAccess, InsertReplacesInPlace) {
  JsonObject object = JsonObject::New();
  object.InsertString(u"type", u"status");
  object.Insert(u"monitors", JsonArray::New());
  object.InsertString(u"type", u"preview_frame");
  object.Insert(u"width", JsonValue::Number(1280));
  object.Insert(u"unchanged", JsonValue::Boolean(false));
  EXPECT_EQ(object.Serialize(),
            u"{\"type\":\"preview_frame\",\"monitors\":[],\"width\":1280,\"unchanged\":false}");
}

TEST(JsonHandles, CopiesShareTheirObject) {
  JsonObject message = JsonObject::New();
  JsonObject alias = message;
  alias.InsertString(u"type", u"status");
  EXPECT_EQ(message.GetStringOrEmpty(u"type"), u"status");

  // A child inserted and changed afterwards is changed inside its parent too.
  JsonArray monitors = JsonArray::New();
  message.Insert(u"monitors", monitors);
  JsonObject monitor = JsonObject::New();
  monitors.Append(monitor);
  monitor.InsertString(u"id", u"\\\\.\\DISPLAY1");
  EXPECT_EQ(message.Serialize(),
            u"{\"type\":\"status\",\"monitors\":[{\"id\":\"\\\\\\\\.\\\\DISPLAY1\"}]}");

  // Reads hand out the object itself, not a copy.
  const JsonObject reply = Parse(u"{\"session\":{\"state\":\"waiting\"},\"inputs\":[{\"t\":1}]}");
  reply.GetObject(u"session").InsertString(u"state", u"active");
  EXPECT_EQ(reply.GetObject(u"session").GetStringOrEmpty(u"state"), u"active");
  int count = 0;
  for (const JsonValue& input : reply.GetArrayOr(u"inputs", JsonArray::New())) {
    EXPECT_EQ(input.AsObject().GetNumberOr(u"t", 0), 1);
    ++count;
  }
  EXPECT_EQ(count, 1);
  EXPECT_THROW(JsonValue::String(u"x").AsObject(), JsonError);
  EXPECT_THROW(JsonValue(JsonArray::New()).AsObject(), JsonError);
}

TEST(JsonHandles, ContainersCannotContainThemselves) {
  JsonObject outer = JsonObject::New();
  JsonObject inner = JsonObject::New();
  JsonArray list = JsonArray::New();
  outer.Insert(u"inner", inner);
  inner.Insert(u"list", list);
  EXPECT_THROW(outer.Insert(u"self", outer), JsonError);
  EXPECT_THROW(inner.Insert(u"up", outer), JsonError);
  EXPECT_THROW(list.Append(outer), JsonError);
  EXPECT_THROW(list.Append(list), JsonError);
  // Sharing one child twice is no cycle.
  outer.Insert(u"again", inner);
  EXPECT_EQ(outer.Serialize(), u"{\"inner\":{\"list\":[]},\"again\":{\"list\":[]}}");
}

TEST(JsonHandles, EmptyHandlesRaiseInsteadOfCrashing) {
  JsonObject object;
  JsonArray array;
  EXPECT_THROW(object.Serialize(), JsonError);
  EXPECT_THROW(object.HasKey(u"a"), JsonError);
  EXPECT_THROW(array.Append(JsonValue::Boolean(true)), JsonError);
  EXPECT_THROW((void)JsonValue(object), JsonError);
  EXPECT_THROW((void)JsonValue(array), JsonError);
}

TEST(JsonHandles, SerialisingTooDeepABuiltStructureRaises) {
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
