#include "platform/orbi/canonicalJson.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "platform/orbi/json.h"

namespace Orbi::Json {
namespace {

std::optional<std::string> CanonicalOf(const std::string& text) {
  json_error_t error;
  JsonPtr json(json_loads(text.c_str(), JSON_DECODE_ANY, &error));
  if (!json) throw std::runtime_error(error.text);
  return Canonicalize(*json);
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
    JsonPtr real(json_real(std::bit_cast<double>(bits)));
    EXPECT_EQ(Canonicalize(*real), expected) << std::hex << bits;
  }
}

TEST(CanonicalJsonTest, IntegersOnlyWhileExact) {
  EXPECT_EQ(CanonicalOf("[-9007199254740991, 0, 9007199254740991]"),
            "[-9007199254740991,0,9007199254740991]");
  EXPECT_EQ(CanonicalOf("[9007199254740992]"), std::nullopt);
  EXPECT_EQ(CanonicalOf("{\"a\": [-9007199254740992]}"), std::nullopt);
  std::string deep(kMaxDepth + 2, '[');
  deep.append(kMaxDepth + 2, ']');
  EXPECT_EQ(CanonicalOf(deep), std::nullopt);
}

}  // namespace
}  // namespace Orbi::Json
