#include "platform/orbi/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "platform/orbi/canonicalJson.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/jsonBounds.h"
#include "platform/orbi/jsonQuickReader.h"
#include "platform/orbi/jsonRpc.h"
#include "platform/orbi/testing/janssonText.h"

namespace Orbi {
namespace {

using Data::StructValue;
using Testing::JanssonText;

Data::ValuePtr Parse(const std::string& text, std::string& error) {
  Json::JsonPtr json(json_loads(text.c_str(), JSON_DECODE_ANY, nullptr));
  EXPECT_TRUE(json) << text;
  auto value = Json::FromJson(*json);
  if (!value) error = value.error();
  return value ? *value : nullptr;
}

std::string Nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonDecodingTest, NamesObjectsByTypeAndBoundsDepth) {
  std::string error;
  auto value = Parse(R"({"_type":"x.y","a":[1,true,null,"s"]})", error);
  auto object = Data::As<StructValue>(value);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->GetName(), "x.y");
  EXPECT_FALSE(object->HasField("_type"));
  EXPECT_EQ(Json::ToText(*object, Json::Encoding::kClean), R"({"a":[1,true,null,"s"]})");

  EXPECT_EQ(Parse(Nested(Json::kMaxDepth + 2), error), nullptr);
  EXPECT_NE(error.find("nesting"), std::string::npos);

  EXPECT_EQ(Parse(R"({"_type":5})", error), nullptr);
  EXPECT_EQ(Parse(R"({"_type":""})", error), nullptr);
}

TEST(JsonBoundsTest, CountsValuesAndNestingOutsideStringsOnly) {
  const Json::DocumentBounds bounds{3, 6};
  EXPECT_EQ(Json::CheckBounds(R"({"a":[1,true]} )", bounds), "");
  EXPECT_EQ(Json::CheckBounds(R"({"a":[1,2,3,4]})", bounds), "more than 6 values");
  EXPECT_EQ(Json::CheckBounds(R"([[[]]])", bounds), "");
  EXPECT_EQ(Json::CheckBounds(R"([[[[]]]])", bounds), "nesting deeper than 3 levels");
  EXPECT_EQ(Json::CheckBounds(R"(["[[[[,,,,\"{{{{"])", bounds), "");
  // An escaped backslash ends before the quote: what follows is outside the string again.
  EXPECT_EQ(Json::CheckBounds(R"(["\\",[[[]]]])", bounds), "nesting deeper than 3 levels");
  // Three backslashes: an escaped backslash, then an escaped quote that keeps the string open.
  EXPECT_EQ(Json::CheckBounds(R"(["\\\"[[[[",1])", bounds), "");
  EXPECT_EQ(Json::CheckBounds(R"([1,"[[[[)", bounds), "");  // unterminated: the parser refuses it
}

TEST(ErrorValueTest, CarriesKindTypeAndFormattedMessages) {
  L10n::Localizer localizer({"en_US"}, [](const std::string& id) {
    return id == "m" ? std::string("Profile not found {profile} #{n}")
                     : std::string("Unknown message.");
  });
  auto error = Std::NotFound({{"m", {{"profile", "LU###a"}, {"n", int64_t{3}}}}, {"zz", {}}})
                   .ToErrorValue(localizer);
  EXPECT_EQ(error->GetErrorKind(), "not_found");
  EXPECT_EQ(Json::ToText(*error, Json::Encoding::kClean),
            R"({"error_type":"NOT_FOUND","messages":[{"id":"m","default_message":)"
            R"("Profile not found LU###a #3","params":{"profile":"LU###a","n":3},)"
            R"("localized":"Profile not found LU###a #3"},{"id":"zz","default_message":)"
            R"("Unknown message.","params":{},"localized":"Unknown message."}],"data":null})");
}

TEST(JsonWriterTest, WritesWhatJanssonWrites) {
  for (const char* text : {
           R"({"a":[1,-2,true,false,null,"s"],"b":{},"c":[],"":{"x":{"y":[[]]}}})",
           R"(["quote\" back\\ slash/ \b\f\n\r\t \u0001\u001f\u007f <a>&amp;"])",
           R"(["\u00e9\u4e2d\ud83d\ude00\u2028", "nul\u0000inside"])",
           R"([0.5,1.0,-0.0,1e300,1.5e-7,123456789012345678.0,2.2250738585072014e-308])",
           R"([9223372036854775807,-9223372036854775808,0])",
       }) {
    Json::JsonPtr json(json_loads(text, JSON_DECODE_ANY | JSON_ALLOW_NUL, nullptr));
    ASSERT_TRUE(json) << text;
    EXPECT_EQ(Json::Dump(*json), JanssonText(*json)) << text;
    auto value = Json::FromJson(*json);
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(Json::ToText(**value, Json::Encoding::kClean), JanssonText(*json)) << text;
  }
}

TEST(JsonWriterTest, InvalidUtf8AndNonFiniteRealsStayValidJson) {
  std::string out;
  Json::WriteString(out,
                    "a\xff"
                    "b\xc3"
                    "\xe0\x80\x80"
                    "\xed\xa0\x80"
                    "\xf4\x90\x80\x80"
                    "\xc3\xa9");
  EXPECT_EQ(out,
            "\"a\\ufffdb\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd"
            "\\ufffd\\ufffd\xc3\xa9\"");
  EXPECT_EQ(Json::ToText(Data::RealValue(std::nan("")), Json::Encoding::kClean), "null");

  // What needs an escape is found inside and after sixteen-byte plain runs, markup only in answers.
  const std::string run = "0123456789abcdef";
  out.clear();
  Json::WriteString(out, run + "<" + run + "\"&\xff" + run + "\x7f>");
  EXPECT_EQ(out, "\"" + run + "\\u003c" + run + "\\\"\\u0026\\ufffd" + run + "\x7f\\u003e\"");
  out.clear();
  Json::WriteString(out, run + "<\x01" + run + "&", Json::StringStyle::kCanonical);
  EXPECT_EQ(out, "\"" + run + "<\\u0001" + run + "&\"");
}

constexpr int kJanssonFlags = JSON_REJECT_DUPLICATES | JSON_DECODE_ANY;

TEST(JsonQuickReaderTest, ReadsPlainDocumentsAsJanssonDoes) {
  for (const char* text : {
           R"({"jsonrpc":"2.0","id":7,"params":{"input":{"a":[1,-2,0,-0,true,false,null]}}})",
           " \t\r\n[ {} , [] , \"\" , {\"\":{\"x\":[[]]}} ] \n",
           "[\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f\", 9223372036854775807, "
           "-9223372036854775808]",
           R"(["esc\"aped", "\\\/\b\f\n\r\t", "\u00e9\u4E2D\ud83d\uDE00x", "a\u0001"])",
           R"({"k\u0065y":{"\n":"<a b=\"c\"/>\n"},"key2":"\"\""})",
           "[\"0123456789abcdef\xc3\xa9ghijklmnopqrstuvw\", \"0123456789abcdefg\"]",
           R"(["0123456789abcdefghi\"jklmnop\n0123456789abcdefghi"])",
       }) {
    Json::JsonPtr quick = Json::ReadPlainJson(text);
    ASSERT_TRUE(quick) << text;
    Json::JsonPtr jansson(json_loads(text, kJanssonFlags, nullptr));
    ASSERT_TRUE(jansson) << text;
    EXPECT_EQ(Json::Dump(*quick), Json::Dump(*jansson)) << text;
    EXPECT_TRUE(json_equal(quick.get(), jansson.get())) << text;
  }
}

// Whatever the quick reader leaves, Jansson reads or refuses with its own message.
TEST(JsonQuickReaderTest, LeavesEverythingElseToJansson) {
  for (std::string_view text : std::initializer_list<std::string_view>{
           R"({"a":1.5})", R"(["\u0000"])", R"(["\ud800"])", R"(["\udc00\ud800"])",
           R"(["\ud800\u0041"])", R"(["\ud800x"])", R"(["\x41"])", R"(["\u12"])", R"(["\u12g4"])",
           R"(["ends\)", R"({"a":1,"\u0061":2})", R"([1e3])", R"([9223372036854775808])",
           R"([-9223372036854775809])", R"([01])", R"([-])", R"([+1])", R"({"a":1,"a":2})",
           R"([1,])", R"({"a":1,})", R"({a:1})", R"([truex])", R"([nul])", "[1] x", "",
           "[\"\x01\"]",
           // Long strings, read sixteen bytes at a time: each refused byte deep in a run.
           "[\"0123456789abc\x1f"
           "defghijklmnop\"]",
           "[\"0123456789abcdefghij\x80klmnop\"]", R"(["0123456789abcdefghi\qjklmnop"])",
           "[\"0123456789abcdefghijklmnop]", "[\"\xff\"]", "[\"\xed\xa0\x80\"]",
           "[\"\xe0\x80\x80\"]", "[\"open]", "\xef\xbb\xbf[]", std::string_view("[1]\0", 4)}) {
    EXPECT_FALSE(Json::ReadPlainJson(text)) << text;
  }
  EXPECT_FALSE(Json::ReadPlainJson(Nested(200)));
}

// A request of the usual shape is read straight from its text, and must read as the tree reads it
// (the jsonrpc fuzz target checks the same on whatever it makes).
TEST(JsonRpcRequestTest, UsualShapeReadsAsTheFullReadingDoes) {
  for (const char* id : {R"("7")", "-7"}) {
    for (const char* params : {
             R"({"serviceId":"s","operationId":"o"})",
             R"({"operationId":"o","input":null,"serviceId":"s.t","ctx":{}})",
             R"( { "input" : {"_type":"t.x","a":[1,"é"],"b":{}} , "serviceId":"s",)"
             R"("operationId":"o","ctx":{"appCtx":{"opId":"1"},"securityCtx":{"a":"b","c":""}}})",
             R"({"serviceId":"s","operationId":"o","ctx":{"securityCtx":)"
             R"({"t":"<a b=\"c\">\n\u00e9</a>","u":"\"x\"","v":"\\"}}})",
         }) {
      const std::string text = std::string(R"({"jsonrpc":"2.0","id":)") + id +
                               R"(,"method":"invoke","params":)" + params + "}";
      auto usual = Protocol::Json::Detail::ReadUsualRequest(text);
      auto full = Protocol::Json::Detail::ReadRequestByTree(text);
      ASSERT_TRUE(usual && full) << text;
      EXPECT_EQ(Json::Dump(*usual->id), Json::Dump(*full->id)) << text;
      EXPECT_EQ(usual->method.ToString(), full->method.ToString()) << text;
      EXPECT_EQ(Json::ToText(*usual->input, Json::Encoding::kStandard),
                Json::ToText(*full->input, Json::Encoding::kStandard))
          << text;
      EXPECT_EQ(usual->context->securityCtx, full->context->securityCtx) << text;
      EXPECT_EQ(usual->context->appCtx, full->context->appCtx) << text;
    }
  }
}

// Read straight from the text or not, a request holds exactly as many values as the bound allows.
TEST(JsonRpcRequestTest, UsualShapeKeepsTheRequestBoundsToTheValue) {
  const Protocol::Json::JsonApiRequestDeserializer deserializer;
  auto request = [](size_t items) {
    std::string list = "[0";
    for (size_t i = 1; i < items; ++i) list += ",0";
    // 17 values besides the list's items: objects, member names, strings and the list.
    return R"({"jsonrpc":"2.0","id":"7","method":"invoke","params":{"serviceId":"s",)"
           R"("operationId":"o","input":{"a":)" +
           list + "]}}}";
  };
  const size_t items = Json::kRequestBounds.maxValues - 17;
  EXPECT_TRUE(deserializer.Deserialize(request(items)));
  auto refused = deserializer.Deserialize(request(items + 1));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "Invalid request: more than 50000 values");
}

std::optional<std::string> CanonicalOf(const std::string& text) {
  json_error_t error;
  Json::JsonPtr json(json_loads(text.c_str(), JSON_DECODE_ANY, &error));
  if (!json) throw std::runtime_error(error.text);
  return Json::Canonicalize(*json);
}

// The examples of RFC 8785 sections 3.2.2 and 3.2.3.
TEST(CanonicalJsonTest, RfcExamples) {
  EXPECT_EQ(CanonicalOf(R"({
      "numbers": [333333333.33333329, 1E30, 4.50, 2e-3, 0.000000000000000000000000001],
      "string": "\u20ac$\u000F\u000aA'\u0042\u0022\u005c\\\"\/",
      "literals": [null, true, false]})"),
            R"({"literals":[null,true,false],"numbers":[333333333.3333333,1e+30,4.5,0.002,1e-27],)"
            "\"string\":\"\u20ac$\\u000f\\nA'B\\\"\\\\\\\\\\\"/\"}");
  EXPECT_EQ(
      CanonicalOf(R"({"\u20ac": "Euro Sign", "\r": "Carriage Return",
      "\ufb33": "Hebrew Letter Dalet With Dagesh", "1": "One", "\ud83d\ude00": "Emoji: Grinning Face",
      "\u0080": "Control", "\u00f6": "Latin Small Letter O With Diaeresis"})"),
      "{\"\\r\":\"Carriage Return\",\"1\":\"One\",\"\u0080\":\"Control\","
      "\"\u00f6\":\"Latin Small Letter O With Diaeresis\",\"\u20ac\":\"Euro Sign\","
      "\"\U0001F600\":\"Emoji: Grinning Face\",\"\ufb33\":\"Hebrew Letter Dalet With Dagesh\"}");
  EXPECT_EQ(CanonicalOf(R"({"b": {"z": [], "a": {}}, "a": "\u0001\b\t\f</>"})"),
            R"({"a":"\u0001\b\t\f</>","b":{"a":{},"z":[]}})");
}

// IEEE 754 patterns and their forms from RFC 8785 appendix B; Jansson holds no NaN or infinity,
// so every real has a form.
TEST(CanonicalJsonTest, RfcAppendixBNumbersTakeTheEcmaScriptForm) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0x0000000000000000, "0"},
      {0x8000000000000000, "0"},
      {0x0000000000000001, "5e-324"},
      {0x7fefffffffffffff, "1.7976931348623157e+308"},
      {0x4340000000000000, "9007199254740992"},
      {0x4430000000000000, "295147905179352830000"},
      {0x44b52d02c7e14af6, "1e+23"},
      {0x44b52d02c7e14af7, "1.0000000000000001e+23"},
      {0x444b1ae4d6e2ef50, "1e+21"},
      {0x444b1ae4d6e2ef4f, "999999999999999900000"},
      {0x3eb0c6f7a0b5ed8c, "9.999999999999997e-7"},
      {0x3eb0c6f7a0b5ed8d, "0.000001"},
      {0xbecbf647612f3696, "-0.0000033333333333333333"},
      {0x43143ff3c1cb0959, "1424953923781206.2"}};
  for (const auto& [bits, expected] : cases) {
    Json::JsonPtr real(json_real(std::bit_cast<double>(bits)));
    EXPECT_EQ(Json::Canonicalize(*real), expected) << std::hex << bits;
  }
}

TEST(CanonicalJsonTest, IntegersOnlyWhileExact) {
  EXPECT_EQ(CanonicalOf("[-9007199254740991, 0, 9007199254740991]"),
            "[-9007199254740991,0,9007199254740991]");
  EXPECT_EQ(CanonicalOf("[9007199254740992]"), std::nullopt);
  EXPECT_EQ(CanonicalOf("{\"a\": [-9007199254740992]}"), std::nullopt);
  EXPECT_EQ(CanonicalOf(Nested(Json::kMaxDepth + 2)), std::nullopt);
}

}  // namespace
}  // namespace Orbi
