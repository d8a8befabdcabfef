#include "platform/orbi/json.h"

#include <gtest/gtest.h>

#include "platform/orbi/errors.h"
#include "platform/orbi/jsonBounds.h"

namespace Orbi {
namespace {

using Data::StringValue;
using Data::StructValue;

Data::ValuePtr Parse(const std::string& text, std::string& error) {
  Json::JsonPtr json(json_loads(text.c_str(), JSON_DECODE_ANY, nullptr));
  EXPECT_TRUE(json) << text;
  auto value = Json::FromJson(*json);
  if (!value) error = value.error();
  return value ? *value : nullptr;
}

TEST(JsonDecodingTest, NamesObjectsByTypeAndBoundsDepth) {
  std::string error;
  auto value = Parse(R"({"_type":"x.y","a":[1,true,null,"s"]})", error);
  auto object = Data::As<StructValue>(value);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->GetName(), "x.y");
  EXPECT_FALSE(object->HasField("_type"));
  EXPECT_EQ(Json::ToText(*object, Json::Encoding::kClean), R"({"a":[1,true,null,"s"]})");

  std::string deep(Json::kMaxDepth + 2, '[');
  deep += std::string(Json::kMaxDepth + 2, ']');
  EXPECT_EQ(Parse(deep, error), nullptr);
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

}  // namespace
}  // namespace Orbi
