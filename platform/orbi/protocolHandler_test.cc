// The framework's own rules, from request frame to answer frame through the provider chain a
// transport drives: envelope errors, identifier headers, dispatch, authentication, input checking
// against the declaration, output completion, both encodings and the escaping of markup; then
// two links of the chain alone: bound interfaces and the authentication filter.
#include "platform/orbi/protocolHandler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/basalt/exception.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/introspection.h"
#include "platform/orbi/localProvider.h"
#include "platform/orbi/removeProgressProvider.h"

namespace Orbi::Provider {
namespace {

using Bind::Type;

class FixedReceiver : public Transport::FrameReceiver {
 public:
  explicit FixedReceiver(std::string body) : body_(std::move(body)) {}
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer,
                   Transport::FrameCb done) override {
    auto space = buffer->Prepare(body_.size());
    std::copy(body_.begin(), body_.end(), space.begin());
    buffer->Commit(body_.size());
    done(nullptr);
  }

 private:
  std::string body_;
};

class CapturingSender : public Transport::FrameSender {
 public:
  void HandleFrame(std::shared_ptr<Transport::FrameBuffer> buffer,
                   Transport::FrameCb done) override {
    frames.emplace_back(buffer->View());
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

// Password "s3cr3t" is the caller "ada", any other is refused, "boom" throws; none is anonymous.
class PasswordHandler : public Authn::AuthnHandler {
 public:
  void AsyncAuthenticate(Core::ExecutionContextPtr context, Authn::AuthnCallback done) override {
    const std::string* password = context->FindSecurity("password");
    if (!password) return done(nullptr);
    if (*password == "boom") throw std::runtime_error("kaput");
    if (*password != "s3cr3t") return done(Std::Unauthenticated().ToErrorValue());
    done(Data::StructValue::GetInstance("ada"));
  }
};

// "t.echo.say": { text: string, tags: optional<list<t.echo.tag { name: string }>> } answers
// t.echo.said { text, who: optional<string>, op: optional<string> }; text "throw" throws and
// text "misfit" answers a string instead of the structure.
Core::ProviderPtr Chain() {
  auto tag = Bind::MakeStruct("t.echo", "tag", {{"name", Type::String()}});
  auto said = Bind::MakeStruct("t.echo", "said",
                               {{"text", Type::String()},
                                {"who", Type::Optional(Type::String())},
                                {"op", Type::Optional(Type::String())}});
  auto def = std::make_shared<Bind::ServiceDef>(Bind::ServiceDef{
      "t.echo",
      {{"say",
        {{"text", Type::String()}, {"tags", Type::Optional(Type::List(Type::Struct(tag)))}},
        Type::Struct(said)}}});
  OperationHandler say = [name = said->qualifiedName](auto params, auto context, auto cb) {
    const std::string text = *params->GetString("text");
    if (text == "throw") throw std::runtime_error("kaput");
    if (text == "misfit") return Answer(cb, Data::StringValue::Create(text));
    auto out = Data::StructValue::GetInstance(name);
    out->SetField("text", params->GetField("text"));
    if (auto who = Data::As<Data::StructValue>(context->authnResult)) {
      out->SetField("who", Data::StringValue::Create(who->GetName()));
    }
    if (const std::string* op = context->FindApp("opId")) {
      out->SetField("op", Data::StringValue::Create(*op));
    }
    Answer(cb, out);
  };
  // Like a worker pool, the enqueuer has no caller to hand an exception to.
  auto local = std::make_shared<AsyncLocalProvider>(
      [](std::function<void()> work) {
        try {
          work();
        } catch (...) {
          ADD_FAILURE() << "an exception escaped to the enqueuer";
        }
      },
      std::make_shared<InterfaceContainer>(
          std::vector<InterfacePtr>{std::make_shared<BoundInterface>(
              def, std::map<std::string, OperationHandler>{{"say", say}})}));
  local->AddInterface(CreateOperationIntrospection(local));
  local->AddInterface(CreateProviderIntrospection(local));
  local->AddInterface(CreateServiceIntrospection(local));
  return std::make_shared<RemoveProgressProvider>(std::make_shared<Authn::Filter::AsyncAuthnFilter>(
      local, std::make_shared<PasswordHandler>()));
}

std::string Exchange(const std::string& body, bool clean, Transport::HeaderList headers) {
  std::shared_ptr<const Protocol::Json::ResponseSerializer> out =
      std::make_shared<Protocol::Json::JsonApiResponseSerializer>();
  if (clean) out = std::make_shared<Protocol::Json::JsonApiDirectResponseSerializer>();
  auto sender = std::make_shared<CapturingSender>();
  auto helper = std::make_shared<AsyncProtocolHandlerHelper>(
      std::make_shared<FixedReceiver>(body), sender,
      std::make_shared<const ExchangeServices>(ExchangeServices{
          Chain(), [](std::function<void()> work) { work(); },
          std::make_shared<Protocol::Json::JsonApiRequestDeserializer>(), out, nullptr}));
  int done = 0;
  helper->Start(
      nullptr, [&done](auto error) { done += error ? 100 : 1; }, std::move(headers));
  EXPECT_EQ(done, 1);
  EXPECT_EQ(sender->frames.size(), 1u);
  return sender->frames.empty() ? std::string() : sender->frames[0];
}

std::string Envelope(const std::string& params, const std::string& head = R"("id":"5")") {
  return "{\"jsonrpc\":\"2.0\"," + head + ",\"method\":\"invoke\",\"params\":" + params + "}";
}
std::string Call(const std::string& service, const std::string& op, const std::string& input,
                 const std::string& ctx = R"({"securityCtx":{"password":"s3cr3t"}})") {
  return Envelope(R"({"serviceId":")" + service + R"(","operationId":")" + op + R"(","ctx":)" +
                  ctx + R"(,"input":)" + input + "}");
}
std::string Say(const std::string& input) { return Call("t.echo", "say", input); }
std::string Invalid(const std::string& path, const std::string& reason) {
  return R"("com.tessel.orbi.std.errors.invalid_input","default_message":"Invalid input at )" +
         path + ": " + reason + R"(","params":{"path":")" + path + R"(","reason":")" + reason +
         "\"}";
}
constexpr const char* kAnonymousSay =
    R"({"serviceId":"t.echo","operationId":"say","input":{"text":"a"}})";
const std::string kKaput =
    R"("messages":[{"id":"com.tessel.orbi.std.errors.internal","default_message":"Internal error: kaput")";
const std::string kLong(3000, 'x');  // echoed whole, the answer would be long

struct RuleCase {
  const char* name;
  std::string body;
  std::string expected;  // a part of the answer
  bool clean = false;
  Transport::HeaderList headers = {};
};

class FrameworkRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FrameworkRuleTest, Answers) {
  const auto& c = GetParam();
  const std::string answer = Exchange(c.body, c.clean, c.headers);
  EXPECT_NE(answer.find(c.expected), std::string::npos) << answer;
  EXPECT_EQ(answer.find("s3cr3t"), std::string::npos) << answer;
  EXPECT_EQ(answer.find_first_of("<>&"), std::string::npos) << answer;
  if (c.clean) {
    EXPECT_EQ(answer.find("\"_type\""), std::string::npos) << answer;
  }
  EXPECT_LT(answer.size(), 2000u) << "an overlong identifier is echoed only in part";
}

// The start of a protocol error answer.
std::string Refused(const std::string& id, int code = -32600) {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"error":{"code":)" + std::to_string(code) + ",";
}

const std::string kMismatch =
    Refused("\"5\"") +
    R"("message":"Mismatching operation identifier in HTTP header and payload"}})";

INSTANTIATE_TEST_SUITE_P(
    Rules, FrameworkRuleTest,
    ::testing::ValuesIn(std::vector<RuleCase>{
        // The envelope.
        {"NotJson", "{", Refused("null", -32700)},
        {"Empty", "", Refused("null", -32700)},
        {"DuplicateMember", Envelope("{}", R"("id":1,"id":2)"), Refused("null", -32700)},
        {"DuplicateSecurityMember",
         Call("t.echo", "say", "{}", R"({"securityCtx":{"a":"1","a":"2"}})"),
         Refused("null", -32700)},
        // Jansson's text would quote the secret "near" the fault.
        {"BadEscapeAfterASecret",
         Call("t.echo", "say", "{}", R"({"securityCtx":{"p":"s3cr3t\q"}})"),
         Refused("null", -32700) + R"("message":"Parse error: invalid escape at byte )"},
        {"BadUtf8AfterASecret",
         Call("t.echo", "say", "{}", "{\"securityCtx\":{\"p\":\"s3cr3t\xff\"}}"),
         Refused("null", -32700) + R"("message":"Parse error: )"},
        {"Array", "[]", Refused("null")},
        {"RealId", Envelope("{}", R"("id":1.5)"), Refused("null")},
        {"LargeIntegerId", Envelope(kAnonymousSay, R"("id":9007199254740993)"),
         R"({"jsonrpc":"2.0","id":9007199254740993,"result":{"output":)"},
        {"Version1", R"({"jsonrpc":"1.0","id":1,"method":"invoke"})", Refused("1")},
        {"VersionNumber", R"({"jsonrpc":2,"id":"5","method":"invoke"})", Refused("\"5\"")},
        {"MethodNumber", R"({"jsonrpc":"2.0","id":"5","method":7})", Refused("\"5\"")},
        {"OtherMethod", R"({"jsonrpc":"2.0","id":42,"method":"Invoke","params":{}})",
         Refused("42", -32601) + R"("message":"Method not found"}})"},
        {"ParamsString", Envelope(R"("get")"), Refused("\"5\"")},
        {"ServiceNumber", Envelope(R"({"serviceId":1,"operationId":"o"})"), Refused("\"5\"")},
        {"OperationNull", Envelope(R"({"serviceId":"s","operationId":null})"), Refused("\"5\"")},
        {"CtxString", Call("t.echo", "say", "{}", R"("ctx")"), Refused("\"5\"")},
        {"SecurityCtxNumber", Call("t.echo", "say", "{}", R"({"securityCtx":{"a":1}})"),
         Refused("\"5\"")},
        {"AppCtxList", Call("t.echo", "say", "{}", R"({"appCtx":["opId"]})"), Refused("\"5\"")},
        {"TypeNotAString", Say(R"({"_type":5})"),
         Refused("\"5\"") + R"("message":"Invalid request: input \"_type\" must be a )"},
        {"TooDeep", Say(std::string(70, '[') + std::string(70, ']')),
         Refused("null") + R"("message":"Invalid request: nesting deeper than 64 levels"})"},
        // Identifier headers.
        {"OtherOperation", Say("{}"), kMismatch, false, {{"Orbi-Operation-Id", "shout"}}},
        {"OtherService", Say("{}"), kMismatch, false, {{"orbi-service-id", "t.other"}}},
        {"Agreeing",
         Say(R"({"text":"a"})"),
         R"("result":{"output":{"text":"a")",
         true,
         {{"ORBI-SERVICE-ID", "t.echo"}, {"Orbi-Operation-Id", "say"}}},
        // Dispatch.
        {"UnknownService", Call("t.<none>", "say", "{}"),
         R"("result":{"error":{"_type":"com.tessel.orbi.std.errors.operation_not_found",)"
         R"("error_type":"OPERATION_NOT_FOUND","messages":[{"_type":"com.tessel.orbi.std.)"
         R"(localizable_message","id":"com.tessel.orbi.std.errors.operation_not_found.)"
         R"(service")"},
        {"UnknownOperation", Call("t.echo", "shout", "{}"),
         R"("error_type":"OPERATION_NOT_FOUND","messages":[{"id":"com.tessel.orbi.std.)"
         R"(errors.operation_not_found.operation")",
         true},
        {"OverlongService", Call(kLong, "say", "{}"),
         R"({"id":"com.tessel.orbi.std.errors.operation_not_found.service")", true},
        {"OverlongOperation", Call("t.echo", kLong, "{}"),
         R"({"id":"com.tessel.orbi.std.errors.operation_not_found.operation")", true},
        {"ThrowingChain", Call("t.echo", "say", "{}", R"({"securityCtx":{"password":"boom"}})"),
         R"("error_type":"INTERNAL_SERVER_ERROR",)" + kKaput, true},
        {"ThrowingImplementation", Say(R"({"text":"throw"})"),
         R"("error_type":"INTERNAL_SERVER_ERROR",)" + kKaput, true},
        {"MisfitOutput", Say(R"({"text":"misfit"})"), R"("error_type":"INTERNAL_SERVER_ERROR")",
         true},
        {"ListServices", Call("com.tessel.orbi.std.introspection.service", "list", "{}"),
         R"("t.echo")", true},
        {"ProviderInfo", Call("com.tessel.orbi.std.introspection.provider", "get", "{}"),
         R"("id":"AsyncLocalProvider")", true},
        {"DescribeOperation",
         Call("com.tessel.orbi.std.introspection.operation", "get",
              R"({"service_id":"t.echo","operation_id":"say"})"),
         R"(optional\u003clist\u003cstructure t.echo.tag { name: string }\u003e\u003e)", true},
        {"UnknownServiceDescription",
         Call("com.tessel.orbi.std.introspection.service", "get", R"({"id":"x"})"),
         R"("error_type":"NOT_FOUND")", true},
        // Input checked against the declaration.
        {"MissingMember", Say("{}"), Invalid("input.text", "required member missing")},
        {"WrongType", Say(R"({"text":5})"),
         Invalid("input.text", "expected a string, got an integer")},
        {"NullForRequired", Say(R"({"text":null})"),
         Invalid("input.text", "required member missing")},
        {"UnknownMember", Say(R"({"text":"a","<x>":1})"),
         Invalid("input.\\u003cx\\u003e", "unknown member")},
        {"NestedWrongType", Say(R"({"text":"a","tags":[{"name":1}]})"),
         Invalid("input.tags[0].name", "expected a string, got an integer")},
        {"RealForStructure", Say(R"({"text":"a","tags":[1.5]})"),
         Invalid("input.tags[0]", "expected an object, got a real number")},
        {"TypeNamesAnotherStructure",
         Say(R"({"text":"a","tags":[{"_type":"t.echo.said","name":"b"}]})"),
         Invalid("input.tags[0]", R"(\"_type\" is \"t.echo.said\", expected \"t.echo.tag\")")},
        {"TypeOnTheInput", Say(R"({"_type":"t.echo.tag","text":"a"})"),
         Invalid("input", R"(\"_type\" is \"t.echo.tag\", but the input is not a structure)")},
        {"TypeNamingTheDeclaredStructure",
         Say(R"({"text":"a","tags":[{"_type":"t.echo.tag","name":"b"}]})"),
         R"("output":{"_type":"t.echo.said","text":"a","who":"ada","op":null}})"},
        // Both encodings.
        {"StandardNamesStructuresAndEscapes", Say(R"({"text":"<a&b>","tags":null})"),
         R"({"jsonrpc":"2.0","id":"5","result":{"output":{"_type":"t.echo.said",)"
         R"("text":"\u003ca\u0026b\u003e","who":"ada","op":null}}})"},
        {"CleanDoesNot",
         Call("t.echo", "say", R"({"text":"<a&b>"})", R"({"appCtx":{"opId":"o-1"}})"),
         R"({"jsonrpc":"2.0","id":"5","result":{"output":{"text":"\u003ca\u0026b\u003e",)"
         R"("who":null,"op":"o-1"}}})",
         true},
        {"EscapedId", Envelope(kAnonymousSay, R"("id":"<&>")"),
         R"({"jsonrpc":"2.0","id":"\u003c\u0026\u003e","result":{"output":{"text":"a",)"
         R"("who":null,"op":null}}})",
         true},
        {"CleanErrors", Call("t.echo", "say", "{}", R"({"securityCtx":{"password":"<guess>"}})"),
         R"({"jsonrpc":"2.0","id":"5","result":{"error":{"error_type":"UNAUTHENTICATED",)"
         R"("messages":[],"data":null}}})",
         true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoundInterfaceTest, EveryOperationHasAHandlerAndEveryHandlerAnOperation) {
  auto def =
      std::make_shared<Bind::ServiceDef>(Bind::ServiceDef{"t.b", {{"get", {}, Type::Void()}}});
  Provider::OperationHandler handler = [](auto, auto, auto) {};
  EXPECT_THROW(Provider::BoundInterface(def, {}), Basalt::Exception);
  EXPECT_THROW(Provider::BoundInterface(def, {{"get", handler}, {"gte", handler}}),
               Basalt::Exception);
  auto bound = std::make_shared<Provider::BoundInterface>(
      def, std::map<std::string, Provider::OperationHandler>{{"get", handler}});
  Provider::AsyncLocalProvider provider([](std::function<void()> work) { work(); }, nullptr);
  provider.AddInterface(bound);
  EXPECT_THROW(provider.AddInterface(bound), Basalt::Exception);
}

class FixedHandler : public Authn::AuthnHandler {
 public:
  explicit FixedHandler(Data::ValuePtr answer, bool atOnce = false)
      : answer_(std::move(answer)), atOnce_(atOnce) {}
  void AsyncAuthenticate(Core::ExecutionContextPtr, Authn::AuthnCallback done) override {
    ++asked;
    if (defer) {
      deferred = std::move(done);
      return;
    }
    done(answer_);
  }
  bool AnswersAtOnce() const override { return atOnce_; }
  int asked = 0;
  bool defer = false;  // keeps `done` for the test to call once the call has returned
  Authn::AuthnCallback deferred;

 private:
  Data::ValuePtr answer_;
  bool atOnce_;
};

TEST(AuthnFilterTest, FirstHandlerWithAnAnswerFixesTheIdentity) {
  // The end of every chain: records the identity and the method each call reached it with.
  struct Recorder : Core::AsyncApiProvider {
    std::string ToString() const override { return "Recorder"; }
    void Invoke(const Core::MethodIdentifier& m, Data::ValuePtr, Core::ExecutionContextPtr c,
                Core::AsyncApiResultCb cb) override {
      seen = c->authnResult;
      method = m.ToString();
      Provider::Answer(cb, nullptr);
    }
    Data::ValuePtr seen;
    std::string method;
  };
  const auto recorder = std::make_shared<Recorder>();
  const Core::AsyncApiResultCb ignored = [](auto, auto, auto) {};
  auto identity = Data::StructValue::GetInstance("Id");
  // Handlers that answer before they return and handlers that may answer later take one course.
  for (const bool atOnce : {false, true}) {
    SCOPED_TRACE(atOnce);
    auto none = std::make_shared<FixedHandler>(nullptr, atOnce);
    auto first = std::make_shared<FixedHandler>(identity, atOnce);
    auto second = std::make_shared<FixedHandler>(Data::StructValue::GetInstance("Other"), atOnce);
    // Each filter tells its observer of the answers that settle the call, never of a pass.
    std::vector<std::string> settled;
    const Authn::AuthnObserver observe = [&settled](const Core::ExecutionContext&,
                                                    const Data::ErrorValue* refusal) {
      settled.push_back(refusal ? refusal->GetErrorKind() : "accepted");
    };
    Core::ProviderPtr chain = recorder;
    for (auto h : {second, first, none}) {
      chain = std::make_shared<Authn::Filter::AsyncAuthnFilter>(chain, h, observe);
    }
    chain->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(), ignored);
    EXPECT_EQ(recorder->seen, identity);
    EXPECT_EQ(second->asked, 0);

    auto refusing = std::make_shared<Authn::Filter::AsyncAuthnFilter>(
        recorder, std::make_shared<FixedHandler>(Std::Unauthenticated().ToErrorValue(), atOnce),
        observe);
    recorder->seen = nullptr;
    // The refusal itself is answered (see the protocol tests); the call must go no further.
    refusing->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(), ignored);
    EXPECT_EQ(recorder->seen, nullptr);
    EXPECT_EQ(settled, (std::vector<std::string>{"accepted", "unauthenticated"}));
  }

  // A later answer finds the call's parts alive though the caller's are gone.
  auto later = std::make_shared<FixedHandler>(identity);
  later->defer = true;
  Authn::Filter::AsyncAuthnFilter filter(recorder, later);
  recorder->seen = nullptr;
  filter.Invoke(Core::MethodIdentifier{std::string(40, 's'), std::string(40, 'o')}, nullptr,
                std::make_shared<Core::ExecutionContext>(), ignored);
  ASSERT_TRUE(later->deferred);
  later->deferred(identity);
  EXPECT_EQ(recorder->seen, identity);
  EXPECT_EQ(recorder->method, std::string(40, 's') + "." + std::string(40, 'o'));
}

}  // namespace
}  // namespace Orbi::Provider
