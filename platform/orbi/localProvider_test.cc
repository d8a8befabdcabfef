#include "platform/orbi/localProvider.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"
#include "platform/orbi/authn.h"

namespace Orbi {
namespace {

using Bind::Type;

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
}  // namespace Orbi
