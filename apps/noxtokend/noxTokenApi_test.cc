#include "apps/noxtokend/noxTokenApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/noxtokend/orbi/secret.h"
#include "apps/noxtokend/storeWriteProvider.h"
#include "platform/authn/testing/signedClaims.h"
#include "platform/basalt/features.h"
#include "platform/basalt/testing/temporaryHostRoot.h"
#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/errors.h"

namespace NoxToken::NoxTokenApi {
namespace {

const std::string kSecret(32, 's');

class ServedOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto secret = root_.Path() / "var/run/tessel/tokend-secret";
    std::filesystem::create_directories(secret.parent_path());
    std::ofstream(secret) << kSecret;
    FeatureState_Init();  // no features file: every switch on
    ASSERT_TRUE(FeatureList[FeatureTable::kExternalSts]);
    chain_ = CreateLocalProvider([](std::function<void()> work) { work(); },
                                 Basalt::Service::Logger::CreateLogger("OrbiHandler"));
  }

  // The output, or the error kind, of one call; `token` empty calls without any credential.
  Orbi::Core::MethodResult Invoke(const std::string& service, const std::string& operation,
                                  Orbi::Data::ValuePtr input, const std::string& token = "") {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    if (!token.empty()) {
      context->securityCtx = {{"schemeId", "com.tessel.orbi.std.security.oauth"},
                              {"accessToken", token}};
    }
    std::optional<Orbi::Core::MethodResult> answer;
    chain_->Invoke({service, operation}, input ? input : Orbi::Data::StructValue::GetInstance(""),
                   context, [&](std::optional<Orbi::Core::MethodResult> result, auto, auto) {
                     if (result) answer = std::move(result);
                   });
    EXPECT_TRUE(answer) << service << "." << operation;
    return answer.value_or(Orbi::Core::MethodResult::Output(nullptr));
  }

  std::vector<std::string> Strings(const Orbi::Core::MethodResult& result) {
    std::vector<std::string> items;
    EXPECT_FALSE(result.HasError());
    if (auto list = Orbi::Data::As<Orbi::Data::ListValue>(result.output)) {
      for (const auto& item : list->GetItems()) {
        items.push_back(Orbi::Data::As<Orbi::Data::StringValue>(item)->GetValue());
      }
    }
    return items;
  }

  bool Refused(const Orbi::Core::MethodResult& result) {
    return result.HasError() && result.error->GetErrorKind() == "unauthorized";
  }

  Basalt::Testing::TemporaryHostRoot root_;
  Orbi::Core::ProviderPtr chain_;
};

// Every operation the assembled daemon serves, with the admission its declaration gives it. A new
// operation fails here until it is added to the table; one added without an admission shows as
// "refused to all" (the entitlements filter turns it down for every caller).
TEST_F(ServedOperationsTest, EveryOperationHasItsAdmission) {
  const std::string administrator = Nox::Authn::Testing::SignClaims(
      R"({"username":"root","exp":99999999999,"entitlement":["ADMINISTRATOR"]})", kSecret);
  const std::string kManagement = "management", kAnyone = "anyone";
  const std::string profiles = "com.tessel.nox.authentication.client_profiles.";
  const std::string issuers = "com.tessel.nox.authentication.trust.security_token_issuers.";
  const std::string introspection = "com.tessel.orbi.std.introspection.";
  std::map<std::string, std::string> expected = {
      {"com.tessel.nox.authentication.token.create", "credential exchange"},
      {"com.tessel.nox.authentication.verification.verify", kAnyone},
      {introspection + "provider.get", kAnyone},
      {introspection + "service.list", kAnyone},
      {introspection + "service.get", kAnyone},
      {introspection + "operation.list", kAnyone},
      {introspection + "operation.get", kAnyone},
  };
  for (const char* operation : {"list", "create", "get", "set", "delete"}) {
    expected[profiles + operation] = kManagement;
    expected[issuers + operation] = kManagement;
  }

  // Served operations, as introspection lists them, each probed by a caller without credentials
  // and by an administrator's daemon token. Inputs are empty: a call the filter admits is refused
  // by its input check at most, and changes nothing.
  std::map<std::string, std::string> served;
  for (const std::string& service : Strings(Invoke(introspection + "service", "list", nullptr))) {
    auto input = Orbi::Data::StructValue::GetInstance("");
    input->SetField("service_id", Orbi::Data::StringValue::Create(service));
    for (const std::string& operation :
         Strings(Invoke(introspection + "operation", "list", input))) {
      const bool anonymousRefused = Refused(Invoke(service, operation, nullptr));
      const bool administratorRefused = Refused(Invoke(service, operation, nullptr, administrator));
      served[service + "." + operation] =
          anonymousRefused ? (administratorRefused ? "refused to all" : kManagement)
                           : (administratorRefused ? "credential exchange" : kAnyone);
    }
  }
  EXPECT_EQ(served, expected);
}

namespace Profiles = Com::Tessel::Nox::Authentication::ClientProfilesSvc;

// Answers each call with its operation name; "set" says it started, then waits for `gate`.
class Recorder final : public Orbi::Core::AsyncApiProvider {
 public:
  std::string ToString() const override { return "Recorder"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr, Orbi::Core::AsyncApiResultCb cb) override {
    if (method.operationName == "set") {
      started.set_value();
      gate.wait_for(std::chrono::seconds(30));  // bounded: a failed check never hangs the test
    }
    {
      std::lock_guard lock(mutex);
      calls.emplace_back(method.operationName, std::this_thread::get_id());
    }
    cb(Orbi::Core::MethodResult::Output(Orbi::Data::StringValue::Create(method.operationName)),
       std::nullopt, nullptr);
    if (method.operationName == "delete") lastDone.set_value();
  }
  std::promise<void> started;
  std::shared_future<void> gate;
  std::promise<void> lastDone;
  std::mutex mutex;
  std::vector<std::pair<std::string, std::thread::id>> calls;
};

TEST(StoreWriteProviderTest, ChangesRunInOrderOnTheWriterAndAnswerWhereTheyCameFrom) {
  auto next = std::make_shared<Recorder>();
  std::promise<void> open;
  next->gate = open.get_future().share();
  std::mutex postedMutex;
  std::vector<std::function<void()>> posted;  // the caller's loop
  StoreWriteProvider provider(
      next, 2,
      [&]() -> Orbi::Core::Enqueuer {
        return [&](std::function<void()> work) {
          std::lock_guard lock(postedMutex);
          posted.push_back(std::move(work));
        };
      },
      Orbi::Std::Error().ToErrorValue(),
      [](const Orbi::Core::MethodIdentifier&, const Orbi::Core::ExecutionContext& context) {
        return context.FindSecurity("denied") == nullptr;
      });
  std::vector<std::string> answers;
  auto call = [&](const std::string& operation, bool denied = false) {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    if (denied) context->securityCtx["denied"] = "1";
    provider.Invoke({Profiles::kServiceId, operation}, nullptr, context,
                    [&answers](const std::optional<Orbi::Core::MethodResult>& result, auto, auto) {
                      std::string answer = "refused";
                      if (result.has_value() && !result->HasError()) {
                        answer =
                            Orbi::Data::As<Orbi::Data::StringValue>(result->output)->GetValue();
                      }
                      answers.push_back(answer);
                    });
  };

  call("get");  // a read passes through at once
  call("set");  // holds the writer until the gate opens
  ASSERT_EQ(next->started.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  call("create");
  call("delete");
  call("delete");  // the queue holds two: refused without running
  // A change the caller may not make takes no place: the filter inside refuses it at once.
  call("create", true);
  EXPECT_EQ(answers, (std::vector<std::string>{"get", "refused", "create"}));
  open.set_value();
  ASSERT_EQ(next->lastDone.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);

  std::vector<std::function<void()>> loop;
  {
    std::lock_guard lock(postedMutex);
    loop.swap(posted);
  }
  EXPECT_EQ(answers.size(), 3u);  // nothing answered on the writer's thread
  for (auto& work : loop) work();
  EXPECT_EQ(answers,
            (std::vector<std::string>{"get", "refused", "create", "set", "create", "delete"}));
  std::lock_guard lock(next->mutex);
  ASSERT_EQ(next->calls.size(), 5u);
  EXPECT_EQ(next->calls[0].second, std::this_thread::get_id());
  EXPECT_EQ(next->calls[1].second, std::this_thread::get_id());  // the denied change
  for (size_t i = 2; i < 5; ++i) EXPECT_NE(next->calls[i].second, std::this_thread::get_id());
}

}  // namespace
}  // namespace NoxToken::NoxTokenApi
