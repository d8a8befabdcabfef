#include "platform/orbi/json.h"

#include <gtest/gtest.h>

#include "platform/orbi/errors.h"
#include "platform/orbi/jsonBounds.h"
#include "platform/orbi/jsonRpc.h"

namespace Orbi {
namespace {

using Data::StringValue;
using Data::StructValue;

Data::ValuePtr Parse(const std::string& text, std::string& error) {
  Json::JsonPtr json(json_loads(text.c_str(), JSON_DECODE_ANY, nullptr));
  EXPECT_TRUE(json) << text;
  return Json::FromJson(*json, error);
}

TEST(JsonEncodingTest, StandardCarriesTypeAndCleanDoesNot) {
  auto info = StructValue::GetInstance("svc.info");
  info->SetField("name", StringValue::Create("a"));
  info->SetField("unset", nullptr);
  auto map = StructValue::GetInstance("");
  map->SetField("k", Data::IntegerValue::Create(-7));
  info->SetField("params", map);
  EXPECT_EQ(Json::ToText(*info, Json::Encoding::kStandard),
            R"({"_type":"svc.info","name":"a","unset":null,"params":{"k":-7}})");
  EXPECT_EQ(Json::ToText(*info, Json::Encoding::kClean),
            R"({"name":"a","unset":null,"params":{"k":-7}})");
}

TEST(JsonEncodingTest, EscapesMarkupCharactersInsideStrings) {
  auto text = StringValue::Create("<script>&</script>");
  EXPECT_EQ(Json::ToText(*text, Json::Encoding::kClean),
            R"("\u003cscript\u003e\u0026\u003c/script\u003e")");
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

struct EnvelopeCase {
  const char* body;
  int code;
};

class EnvelopeTest : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(EnvelopeTest, RefusesMalformedEnvelopes) {
  Protocol::Json::JsonApiRequestDeserializer deserializer;
  auto result = deserializer.Deserialize(GetParam().body);
  auto* error = std::get_if<Protocol::Json::ProtocolError>(&result);
  ASSERT_NE(error, nullptr) << GetParam().body;
  EXPECT_EQ(error->code, GetParam().code) << error->message;
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, EnvelopeTest,
    ::testing::Values(
        EnvelopeCase{"{", -32700}, EnvelopeCase{"\"\xff\"", -32700}, EnvelopeCase{"[]", -32600},
        EnvelopeCase{R"({"jsonrpc":"2.0","method":"invoke","params":{}})", -32600},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1.5,"method":"invoke","params":{}})", -32600},
        EnvelopeCase{R"({"jsonrpc":"1.0","id":1,"method":"invoke","params":{}})", -32600},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1,"method":"call","params":{}})", -32601},
        EnvelopeCase{
            R"({"jsonrpc":"2.0","id":1,"method":"invoke","params":{"serviceId":1,"operationId":"x"}})",
            -32600},
        EnvelopeCase{
            R"({"jsonrpc":"2.0","id":1,"method":"invoke","params":{"serviceId":"s","operationId":"o","ctx":{"securityCtx":{"a":1}}}})",
            -32600},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1,"id":2,"method":"invoke","params":{}})", -32700}));

TEST(EnvelopeTest, ReadsOperationContextAndInput) {
  Protocol::Json::JsonApiRequestDeserializer deserializer;
  auto result = deserializer.Deserialize(
      R"({"jsonrpc":"2.0","id":"7","method":"invoke","params":{"serviceId":"a.b","operationId":"get",)"
      R"("ctx":{"securityCtx":{"schemeId":"s"},"appCtx":{"opId":"op"}},"input":{"x":1}}})");
  auto* request = std::get_if<Protocol::Json::ApiRequest>(&result);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->method.ToString(), "a.b.get");
  EXPECT_EQ(*request->context->FindSecurity("schemeId"), "s");
  EXPECT_EQ(*request->context->FindApp("opId"), "op");
  EXPECT_EQ(request->input->ToString(), R"({"x":1})");

  Protocol::Json::JsonApiDirectResponseSerializer clean;
  EXPECT_EQ(
      clean.SerializeResult(*request->id, Core::MethodResult::Output(StringValue::Create("u"))),
      R"({"jsonrpc":"2.0","id":"7","result":{"output":"u"}})");
}

}  // namespace
}  // namespace Orbi
