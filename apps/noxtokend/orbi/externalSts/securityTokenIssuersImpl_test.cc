#include "apps/noxtokend/orbi/externalSts/securityTokenIssuersImpl.h"

#include <gtest/gtest.h>

#include "apps/noxtokend/orbi/messageTable.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using Basalt::Service::Logger;

// A store that refuses writes: each change answers Error with the store's own text, logged at
// level 3 before the answer, and the registry keeps its state. (The other refusals are covered
// over HTTP.)
TEST(SecurityTokenIssuersImpl, StoreFailuresAnswerErrorWithTheStoreText) {
  NoxConfigStore::Testing::TemporaryHostRoot root;
  auto options = root.StoreOptions();
  CertificateChainsContainer(NoxConfigStore::ConfigStore::Open(options)).CreateIssuer("a", "i", {});
  options.readOnly = true;
  auto container =
      std::make_shared<CertificateChainsContainer>(NoxConfigStore::ConfigStore::Open(options));

  std::vector<std::string> events;
  std::vector<Orbi::Std::StdError> errors;
  auto saved = Logger::sDefaultLogger;
  Logger::sDefaultLogger = Logger::CreateRoot("default", 5, [&](const auto& record) {
    if (record.level <= 3) events.push_back(std::string(record.text));
  });
  auto localizer = CreateLocalizer();
  Orbi::Bind::Reply<void> reply([&] { events.push_back("answer"); },
                                [&](const Orbi::Std::StdError& e) {
                                  errors.push_back(e);
                                  events.push_back("fail");
                                },
                                localizer);
  SecurityTokenIssuersImpl service(container);
  service.Create(nullptr, CreateSpec{"b", "j", {}}, reply);
  service.Set(nullptr, "a", SetSpec{"k", std::nullopt}, reply);
  service.Delete(nullptr, "a", reply);
  Logger::sDefaultLogger = saved;

  ASSERT_EQ(errors.size(), 3u);
  ASSERT_EQ(events.size(), 6u);
  const char* aliases[] = {"b", "a", "a"};
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].kind, Orbi::Std::ErrorKind::kError);
    ASSERT_EQ(errors[i].messages.size(), 1u);
    const auto& message = errors[i].messages[0];
    EXPECT_EQ(message.id, std::string(kServiceId) + ".storage_update_failed");
    const std::string storeText = std::get<std::string>(message.args.at(1).second);
    EXPECT_NE(storeText.find("trust_security_token_issuers"), std::string::npos);
    const std::string text = "ConfigStore update for issuer alias " + std::string(aliases[i]) +
                             " failed\nReason: " + storeText;
    EXPECT_EQ(localizer->Format(message), text);
    EXPECT_EQ(events[2 * i], text);
    EXPECT_EQ(events[2 * i + 1], "fail");
  }
  EXPECT_TRUE(container->HasAlias("a") && container->HasIssuer("i"));
  EXPECT_FALSE(container->HasAlias("b") || container->HasIssuer("j") || container->HasIssuer("k"));
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
