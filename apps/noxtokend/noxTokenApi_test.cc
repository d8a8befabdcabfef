// Every operation the assembled daemon serves, with the admission its declaration gives it. A new
// operation fails here until it is added to the table; one added without an admission shows as
// "refused to all" (the entitlements filter turns it down for every caller).
#include "apps/noxtokend/noxTokenApi.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "apps/noxtokend/orbi/secret.h"
#include "platform/authn/testing/signedClaims.h"
#include "platform/basalt/features.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

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

}  // namespace
}  // namespace NoxToken::NoxTokenApi
