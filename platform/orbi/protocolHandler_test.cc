// The framework's own rules, from request frame to answer frame: envelope errors, dispatch,
// input checking, both encodings and the escaping of markup characters.
#include "platform/orbi/protocolHandler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/orbi/localProvider.h"

namespace Orbi::Provider {
namespace {

using Bind::Type;

class FixedReceiver : public Transport::FrameReceiver {
 public:
  explicit FixedReceiver(std::string body) : body_(std::move(body)) {}
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer,
                   Transport::FrameCb done) override {
    auto space = buffer->prepare(body_.size());
    std::memcpy(space.data(), body_.data(), body_.size());
    buffer->commit(body_.size());
    done(nullptr);
  }

 private:
  std::string body_;
};

class CapturingSender : public Transport::FrameSender {
 public:
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer,
                   Transport::FrameCb done) override {
    frames.emplace_back(static_cast<const char*>(buffer->data().data()), buffer->size());
    done(nullptr);
  }
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer, const Transport::HeaderList&,
                   Transport::FrameCb done) override {
    HandleFrame(std::move(buffer), std::move(done));
  }
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer, const Transport::HeaderList&,
                   bool, Transport::FrameCb done) override {
    HandleFrame(std::move(buffer), std::move(done));
  }
  std::vector<std::string> frames;
};

// "t.echo.say": { text: string } -> structure t.echo.said { text: string }.
Core::ProviderPtr EchoProvider() {
  auto said = Bind::MakeStruct("t.echo", "said", {{"text", Type::String()}});
  auto def = std::make_shared<Bind::ServiceDef>(
      Bind::ServiceDef{"t.echo", {{"say", {{"text", Type::String()}}, Type::Struct(said)}}});
  std::map<std::string, OperationHandler> ops;
  ops["say"] = [name = said->qualifiedName](auto params, auto, Core::AsyncApiResultCb cb) {
    auto out = Data::StructValue::GetInstance(name);
    out->SetField("text", params->GetField("text"));
    Answer(cb, out);
  };
  return std::make_shared<AsyncLocalProvider>(
      [](std::function<void()> work) { work(); },
      std::make_shared<InterfaceContainer>(
          std::vector<InterfacePtr>{std::make_shared<BoundInterface>(def, std::move(ops))}));
}

std::string Call(const std::string& params, const std::string& input, bool clean,
                 Transport::HeaderList headers = {}, const char* method = "invoke") {
  std::string body = std::string(R"({"jsonrpc":"2.0","id":"1","method":")") + method +
                     R"(","params":{)" + params +
                     R"(,"ctx":{"securityCtx":{"password":"s3cr3t"}},)"
                     R"("input":)" +
                     input + "}}";
  std::shared_ptr<const Protocol::Json::ResponseSerializer> out;
  if (clean) {
    out = std::make_shared<Protocol::Json::JsonApiDirectResponseSerializer>();
  } else {
    out = std::make_shared<Protocol::Json::JsonApiResponseSerializer>();
  }
  auto sender = std::make_shared<CapturingSender>();
  auto helper = std::make_shared<AsyncProtocolHandlerHelper>(
      std::make_shared<FixedReceiver>(body), sender, EchoProvider(),
      [](std::function<void()> work) { work(); },
      std::make_shared<Protocol::Json::JsonApiRequestDeserializer>(), out, false, nullptr);
  helper->Start(
      nullptr, [](auto) {}, std::move(headers));
  EXPECT_EQ(sender->frames.size(), 1u);
  return sender->frames.empty() ? std::string() : sender->frames[0];
}

constexpr const char* kSay = R"("serviceId":"t.echo","operationId":"say")";

struct RuleCase {
  const char* name;
  const char* params;
  const char* input;
  bool clean;
  const char* expected;  // a part of the answer
  Transport::HeaderList headers = {};
  const char* method = "invoke";
};

class FrameworkRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FrameworkRuleTest, Answers) {
  const auto& c = GetParam();
  std::string answer = Call(c.params, c.input, c.clean, c.headers, c.method);
  EXPECT_NE(answer.find(c.expected), std::string::npos) << answer;
  EXPECT_EQ(answer.find("s3cr3t"), std::string::npos) << answer;
  EXPECT_EQ(answer.find_first_of("<>&"), std::string::npos) << answer;
  if (c.clean) {
    EXPECT_EQ(answer.find("\"_type\""), std::string::npos) << answer;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FrameworkRuleTest,
    ::testing::Values(
        RuleCase{"StandardEncodingNamesStructures", kSay, R"({"text":"<a&b>"})", false,
                 R"({"jsonrpc":"2.0","id":"1","result":{"output":{"_type":"t.echo.said",)"
                 R"("text":"\u003ca\u0026b\u003e"}}})"},
        RuleCase{
            "CleanEncodingDoesNot", kSay, R"({"text":"<a&b>"})", true,
            R"({"jsonrpc":"2.0","id":"1","result":{"output":{"text":"\u003ca\u0026b\u003e"}}})"},
        RuleCase{"UnknownService", R"("serviceId":"t.<none>","operationId":"say")", "{}", false,
                 R"("result":{"error":{"_type":"com.tessel.orbi.std.errors.operation_not_found",)"
                 R"("error_type":"OPERATION_NOT_FOUND")"},
        RuleCase{"UnknownOperation", R"("serviceId":"t.echo","operationId":"shout")", "{}", true,
                 R"("result":{"error":{"error_type":"OPERATION_NOT_FOUND")"},
        RuleCase{"MissingMember", kSay, "{}", true,
                 R"("params":{"path":"input.text","reason":"required member missing"})"},
        RuleCase{"WrongType", kSay, R"({"text":5})", true,
                 R"("params":{"path":"input.text","reason":"expected a string, got an integer"})"},
        RuleCase{"UnknownMember", kSay, R"({"text":"a","<x>":1})", true,
                 R"("params":{"path":"input.\u003cx\u003e","reason":"unknown member"})"},
        RuleCase{"NotJson", kSay, "{", false,
                 R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,)"},
        RuleCase{"NotAnInvokeEnvelope", R"("serviceId":7,"operationId":"say")", "{}", false,
                 R"({"jsonrpc":"2.0","id":"1","error":{"code":-32600,)"},
        RuleCase{"HeaderNamesAnotherOperation",
                 kSay,
                 R"({"text":"a"})",
                 false,
                 R"({"jsonrpc":"2.0","id":"1","error":{"code":-32600,"message":)"
                 R"("Mismatching operation identifier in HTTP header and payload"}})",
                 {{"orbi-operation-id", "shout"}}},
        RuleCase{"OtherMethod",
                 kSay,
                 "{}",
                 false,
                 R"({"jsonrpc":"2.0","id":"1","error":{"code":-32601,)",
                 {},
                 "call"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Orbi::Provider
