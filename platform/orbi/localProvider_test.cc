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
  // Each filter tells its observer of the answers that settle the call, never of a handler's pass.
  std::vector<std::string> settled;
  const Authn::AuthnObserver observe = [&settled](const Core::ExecutionContext&,
                                                  const Data::ErrorValue* refusal) {
    settled.push_back(refusal ? refusal->GetErrorKind() : "accepted");
  };
  Core::ProviderPtr chain = std::make_shared<Recorder>(seen);
  for (auto h : {second, first, none}) {
    chain = std::make_shared<Authn::Filter::AsyncAuthnFilter>(chain, h, observe);
  }
  const Core::AsyncApiResultCb ignored = [](auto, auto, auto) {};
  chain->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(), ignored);
  EXPECT_EQ(*seen, identity);
  EXPECT_EQ(second->asked, 0);

  auto refusing = std::make_shared<Authn::Filter::AsyncAuthnFilter>(
      std::make_shared<Recorder>(seen),
      std::make_shared<FixedHandler>(Std::Unauthenticated().ToErrorValue()), observe);
  *seen = nullptr;
  // The refusal itself is answered (see the protocol tests); the call must go no further.
  refusing->Invoke({"s", "o"}, nullptr, std::make_shared<Core::ExecutionContext>(), ignored);
  EXPECT_EQ(*seen, nullptr);
  EXPECT_EQ(settled, (std::vector<std::string>{"accepted", "unauthenticated"}));
}

}  // namespace
}  // namespace Orbi
