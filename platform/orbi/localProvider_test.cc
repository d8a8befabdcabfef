#include "platform/orbi/localProvider.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/introspection.h"
#include "platform/orbi/json.h"

namespace Orbi {
namespace {

using Bind::Type;

struct Captured {
  int calls = 0;
  std::optional<Core::MethodResult> result;
};

Core::AsyncApiResultCb Capture(Captured& captured) {
  return [&captured](std::optional<Core::MethodResult> r, std::optional<Core::Progress>,
                     Core::Continuation) {
    ++captured.calls;
    captured.result = std::move(r);
  };
}

std::string Clean(const Data::DataValue& value) {
  return Json::ToText(value, Json::Encoding::kClean);
}

class LocalProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto grant = Bind::MakeStruct(
        "t.svc", "grant",
        {{"resource_type", Type::String()}, {"entitlement", Type::Optional(Type::String())}});
    auto def = std::make_shared<Bind::ServiceDef>(Bind::ServiceDef{
        "t.svc",
        {{"echo",
          {{"grants", Type::List(Type::Struct(grant))}, {"note", Type::Optional(Type::String())}},
          Type::List(Type::Struct(grant))},
         {"boom", {}, Type::Void()},
         {"bad", {}, Type::Struct(grant)}}});
    std::map<std::string, Provider::OperationHandler> ops;
    ops["echo"] = [](auto params, auto, Core::AsyncApiResultCb cb) {
      Provider::Answer(cb, params->GetField("grants"));
    };
    ops["boom"] = [](auto, auto, auto) -> void { throw std::runtime_error("kaput"); };
    ops["bad"] = [](auto, auto, Core::AsyncApiResultCb cb) {
      Provider::Answer(cb, Data::StringValue::Create("not a structure"));
    };
    provider_ = std::make_shared<Provider::AsyncLocalProvider>(
        [](std::function<void()> work) { work(); },
        std::make_shared<Provider::InterfaceContainer>(std::vector<Provider::InterfacePtr>{
            std::make_shared<Provider::BoundInterface>(def, std::move(ops))}));
  }

  Captured Call(const std::string& service, const std::string& op, const std::string& input) {
    Json::JsonPtr json(json_loads(input.c_str(), 0, nullptr));
    Captured captured;
    provider_->Invoke({service, op}, Json::FromJson(*json).value(),
                      std::make_shared<Core::ExecutionContext>(), Capture(captured));
    EXPECT_EQ(captured.calls, 1);
    return captured;
  }

  std::shared_ptr<Provider::AsyncLocalProvider> provider_;
};

TEST_F(LocalProviderTest, BindsInputAndCompletesUnsetOptionals) {
  auto out = Call("t.svc", "echo", R"({"grants":[{"resource_type":"HOST"}]})");
  ASSERT_FALSE(out.result->HasError());
  EXPECT_EQ(Json::ToText(*out.result->output, Json::Encoding::kStandard),
            R"([{"_type":"t.svc.grant","resource_type":"HOST","entitlement":null}])");
}

TEST_F(LocalProviderTest, RefusesInputThatDoesNotFitWithThePath) {
  struct Case {
    const char* input;
    const char* path;
  } cases[] = {
      {R"({})", "input.grants"},
      {R"({"grants":[{"resource_type":1}]})", "input.grants[0].resource_type"},
      {R"({"grants":[],"extra":1})", "input.extra"},
      {R"({"grants":[{"_type":"other","resource_type":"HOST"}]})", "input.grants[0]"},
      {R"({"_type":"t.svc.grant","grants":[]})", "input"},
      {R"({"grants":[1.5]})", "input.grants[0]"},
  };
  for (const auto& c : cases) {
    auto out = Call("t.svc", "echo", c.input);
    ASSERT_TRUE(out.result->HasError()) << c.input;
    EXPECT_EQ(out.result->error->GetErrorKind(), "invalid_argument");
    EXPECT_NE(Clean(*out.result->error).find(std::string("\"path\":\"") + c.path + "\""),
              std::string::npos)
        << Clean(*out.result->error);
  }
}

TEST(BoundInterfaceTest, EveryOperationHasAHandlerAndEveryHandlerAnOperation) {
  auto def =
      std::make_shared<Bind::ServiceDef>(Bind::ServiceDef{"t.b", {{"get", {}, Type::Void()}}});
  Provider::OperationHandler handler = [](auto, auto, auto) {};
  EXPECT_THROW(Provider::BoundInterface(def, {}), Basalt::Exception);
  EXPECT_THROW(Provider::BoundInterface(def, {{"get", handler}, {"gte", handler}}),
               Basalt::Exception);
  EXPECT_NO_THROW(Provider::BoundInterface(def, {{"get", handler}}));
}

TEST_F(LocalProviderTest, ThrowingOrMisbehavingImplementationsAnswerInternalErrors) {
  auto thrown = Call("t.svc", "boom", "{}");
  EXPECT_EQ(thrown.result->error->GetErrorKind(), "internal_server_error");
  EXPECT_NE(Clean(*thrown.result->error).find("kaput"), std::string::npos);
  EXPECT_EQ(Call("t.svc", "bad", "{}").result->error->GetErrorKind(), "internal_server_error");
}

TEST_F(LocalProviderTest, IntrospectionDescribesTheBoundServices) {
  provider_->AddInterface(Provider::CreateOperationIntrospection(provider_));
  provider_->AddInterface(Provider::CreateProviderIntrospection(provider_));
  provider_->AddInterface(Provider::CreateServiceIntrospection(provider_));
  EXPECT_THROW(provider_->AddInterface(Provider::CreateServiceIntrospection(provider_)),
               Basalt::Exception);

  auto services = Call("com.tessel.orbi.std.introspection.service", "list", "{}");
  EXPECT_NE(Clean(*services.result->output).find("\"t.svc\""), std::string::npos);
  auto info = Call("com.tessel.orbi.std.introspection.provider", "get", "{}");
  EXPECT_NE(Clean(*info.result->output).find("\"id\":\"AsyncLocalProvider\""), std::string::npos);
  auto op = Call("com.tessel.orbi.std.introspection.operation", "get",
                 R"({"service_id":"t.svc","operation_id":"echo"})");
  EXPECT_NE(Clean(*op.result->output).find("optional\\u003cstring\\u003e"), std::string::npos);
  EXPECT_EQ(Call("com.tessel.orbi.std.introspection.service", "get", R"({"id":"x"})")
                .result->error->GetErrorKind(),
            "not_found");
}

class FixedHandler : public Authn::AuthnHandler {
 public:
  explicit FixedHandler(Data::ValuePtr answer) : answer_(std::move(answer)) {}
  void AsyncAuthenticate(Core::ExecutionContextPtr, Authn::AuthnCallback done) override {
    ++asked;
    done(answer_);
  }
  int asked = 0;

 private:
  Data::ValuePtr answer_;
};

TEST(AuthnFilterTest, FirstHandlerWithAnAnswerFixesTheIdentity) {
  auto seen = std::make_shared<Data::ValuePtr>();
  class Recorder : public Core::AsyncApiProvider {
   public:
    explicit Recorder(std::shared_ptr<Data::ValuePtr> seen) : seen_(std::move(seen)) {}
    std::string ToString() const override { return "Recorder"; }
    void Invoke(const Core::MethodIdentifier&, Data::ValuePtr, Core::ExecutionContextPtr c,
                Core::AsyncApiResultCb cb) override {
      *seen_ = c->authnResult;
      Provider::Answer(cb, nullptr);
    }
    std::shared_ptr<Data::ValuePtr> seen_;
  };
  auto identity = Data::StructValue::GetInstance("Id");
  auto none = std::make_shared<FixedHandler>(nullptr);
  auto first = std::make_shared<FixedHandler>(identity);
  auto second = std::make_shared<FixedHandler>(Data::StructValue::GetInstance("Other"));
  Core::ProviderPtr chain = std::make_shared<Recorder>(seen);
  for (auto h : {second, first, none}) {
    chain = std::make_shared<Authn::Filter::AsyncAuthnFilter>(chain, h);
  }
  Captured captured;
  chain->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(), Capture(captured));
  EXPECT_EQ(*seen, identity);
  EXPECT_EQ(second->asked, 0);

  auto refusing = std::make_shared<Authn::Filter::AsyncAuthnFilter>(
      std::make_shared<Recorder>(seen),
      std::make_shared<FixedHandler>(Std::Unauthenticated().ToErrorValue()));
  *seen = nullptr;
  Captured refused;
  refusing->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(),
                   Capture(refused));
  ASSERT_TRUE(refused.result->HasError());
  EXPECT_EQ(refused.result->error->GetErrorKind(), "unauthenticated");
  EXPECT_EQ(*seen, nullptr);
}

}  // namespace
}  // namespace Orbi
