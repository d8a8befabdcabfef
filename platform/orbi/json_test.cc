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
  auto value = Json::FromJson(*json);
  if (!value) error = value.error();
  return value ? *value : nullptr;
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

struct EnvelopeCase {
  std::string body;
  int code;
  const char* id;  // the echoed id as JSON text
};

class EnvelopeTest : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(EnvelopeTest, RefusesMalformedEnvelopes) {
  Protocol::Json::JsonApiRequestDeserializer deserializer;
  auto result = deserializer.Deserialize(GetParam().body);
  ASSERT_FALSE(result) << GetParam().body;
  const auto* error = &result.error();
  EXPECT_EQ(error->code, GetParam().code) << error->message;
  EXPECT_EQ(error->id ? Json::Dump(*error->id) : "null", GetParam().id) << GetParam().body;
}

std::string Envelope(const std::string& members) {
  return R"({"jsonrpc":"2.0","id":"5","method":"invoke",)" + members + "}";
}
std::string Params(const std::string& members) {
  return Envelope(R"("params":{"serviceId":"s","operationId":"o",)" + members + "}");
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, EnvelopeTest,
    ::testing::Values(
        EnvelopeCase{"{", -32700, "null"}, EnvelopeCase{"", -32700, "null"},
        EnvelopeCase{"\"\xff\"", -32700, "null"},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1,"id":2,"method":"invoke","params":{}})", -32700,
                     "null"},
        EnvelopeCase{"[]", -32600, "null"}, EnvelopeCase{R"("invoke")", -32600, "null"},
        EnvelopeCase{R"({"jsonrpc":"2.0","method":"invoke","params":{}})", -32600, "null"},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1.5,"method":"invoke","params":{}})", -32600, "null"},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":{"a":1},"method":"invoke","params":{}})", -32600,
                     "null"},
        EnvelopeCase{R"({"jsonrpc":"1.0","id":1,"method":"invoke","params":{}})", -32600, "1"},
        EnvelopeCase{R"({"jsonrpc":2,"id":"5","method":"invoke","params":{}})", -32600, "\"5\""},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":"5","method":7,"params":{}})", -32600, "\"5\""},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":"5","method":"invoke"})", -32600, "\"5\""},
        EnvelopeCase{Envelope(R"("params":"get")"), -32600, "\"5\""},
        EnvelopeCase{Envelope(R"("params":{"operationId":"o"})"), -32600, "\"5\""},
        EnvelopeCase{Envelope(R"("params":{"serviceId":1,"operationId":"x"})"), -32600, "\"5\""},
        EnvelopeCase{Envelope(R"("params":{"serviceId":"s","operationId":null})"), -32600, "\"5\""},
        EnvelopeCase{Params(R"("ctx":"ctx")"), -32600, "\"5\""},
        EnvelopeCase{Params(R"("ctx":{"securityCtx":{"a":1}})"), -32600, "\"5\""},
        EnvelopeCase{Params(R"("ctx":{"appCtx":["opId"]})"), -32600, "\"5\""},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":1,"method":"call","params":{}})", -32601, "1"},
        EnvelopeCase{R"({"jsonrpc":"2.0","id":42,"method":"Invoke","params":{}})", -32601, "42"}));

TEST(EnvelopeTest, ReadsOperationContextAndInput) {
  Protocol::Json::JsonApiRequestDeserializer deserializer;
  auto result = deserializer.Deserialize(
      R"({"jsonrpc":"2.0","id":"7","method":"invoke","params":{"serviceId":"a.b","operationId":"get",)"
      R"("ctx":{"securityCtx":{"schemeId":"s"},"appCtx":{"opId":"op"}},"input":{"x":1}}})");
  ASSERT_TRUE(result);
  auto* request = &*result;
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
