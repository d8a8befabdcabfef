#include "apps/noxtokend/orbi/externalSts/securityTokenIssuersImpl.h"

#include <gtest/gtest.h>

#include "apps/noxtokend/orbi/externalSts/testCertificates.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using Basalt::Service::Logger;
using Basalt::Service::LogRecord;

const std::string kIds = "com.tessel.nox.authentication.trust.security_token_issuers.";

// What the service did, in order: its level 3 log lines and the answer it delivered.
class SecurityTokenIssuersImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLogger_ = Logger::sDefaultLogger;
    Logger::sDefaultLogger = Logger::CreateRoot("default", 5, [this](const LogRecord& record) {
      if (record.level <= 3) events_.push_back("log " + std::string(record.text));
    });
    OpenService(/*readOnly=*/false);
  }
  void TearDown() override { Logger::sDefaultLogger = savedLogger_; }

  void OpenService(bool readOnly) {
    auto options = root_.StoreOptions();
    options.readOnly = readOnly;
    container_ =
        std::make_shared<CertificateChainsContainer>(NoxConfigStore::ConfigStore::Open(options));
    service_ = std::make_shared<SecurityTokenIssuersImpl>(container_);
  }

  template <class T>
  Orbi::Bind::Reply<T> Recorder() {
    auto onError = [this](const Orbi::Std::StdError& e) {
      error_ = e;
      events_.push_back("fail");
    };
    if constexpr (std::is_void_v<T>) {
      return {[this] { events_.push_back("answer"); }, onError, localizer_};
    } else {
      return {[this](T) { events_.push_back("answer"); }, onError, localizer_};
    }
  }

  void Create(const std::string& alias, const std::string& issuer, ChainList chains = {}) {
    service_->Create(nullptr, CreateSpec{alias, issuer, std::move(chains)}, Recorder<void>());
  }

  // The error's message ids (suffix) and texts, as the caller reads them.
  std::vector<std::pair<std::string, std::string>> Messages() const {
    std::vector<std::pair<std::string, std::string>> messages;
    for (const auto& m : error_.messages) {
      messages.emplace_back(m.id.substr(kIds.size()), localizer_->Format(m));
    }
    return messages;
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_ = CreateLocalizer();
  std::shared_ptr<Logger> savedLogger_;
  std::vector<std::string> events_;
  Orbi::Std::StdError error_{};
  CertificateChainsContainerPtr container_;
  std::shared_ptr<SecurityTokenIssuersImpl> service_;
};

TEST_F(SecurityTokenIssuersImplTest, ConflictsCarryBothMessagesAndTheHolder) {
  Create("a1", "i1");
  Create("a2", "i2");
  events_.clear();
  Create("a1", "i2");
  EXPECT_EQ(error_.kind, Orbi::Std::ErrorKind::kAlreadyExists);
  using Pair = std::pair<std::string, std::string>;
  const std::vector<Pair> expected{
      {"alias_already_exists", "Security token issuer alias already exists a1"},
      {"issuer_already_exists", "Security token issuer already exists i2 saved under alias a2"}};
  EXPECT_EQ(Messages(), expected);
  EXPECT_EQ(events_, (std::vector<std::string>{"log " + expected[0].second,
                                               "log " + expected[1].second, "fail"}));
  auto data = Orbi::Data::As<Orbi::Data::StructValue>(error_.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data->GetString("issuer"), "i2");
  EXPECT_EQ(*data->GetString("issuer_alias"), "a2");

  Create("a1", "new");
  EXPECT_EQ(Messages(), (std::vector<Pair>{expected[0]}));
  EXPECT_FALSE(error_.data);

  service_->Set(nullptr, "a1", SetSpec{"i2", std::nullopt}, Recorder<void>());
  EXPECT_EQ(Messages(),
            (std::vector<Pair>{{"issuer_already_exists",
                                "Security token issuer already exists i2 saved under alias a2"}}));
  ASSERT_TRUE(error_.data);
}

TEST_F(SecurityTokenIssuersImplTest, BadCertificatesOneMessageEachInOrder) {
  const std::string pem = Testing::MakeCertificatePem("ok", Testing::KeyType::kEc);
  ChainList chains{std::make_shared<X509CertChain>(X509CertChain{{pem, "x" + pem}}),
                   std::make_shared<X509CertChain>(X509CertChain{{pem + "y"}})};
  Create("a", "i", chains);
  EXPECT_EQ(error_.kind, Orbi::Std::ErrorKind::kInvalidArgument);
  auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].second,
            "Standardizing certificate [certificate chain #0][certificate #1] "
            "failed:\nx" +
                pem + "\n");
  EXPECT_EQ(messages[1].first, "standardizing_certificate_failed");
  EXPECT_EQ(messages[1].second.rfind(
                "Standardizing certificate [certificate chain #1][certificate #0]", 0),
            0u);

  chains = {std::make_shared<X509CertChain>(X509CertChain{{pem, "AAAA"}})};
  service_->Set(nullptr, "missing", SetSpec{std::nullopt, chains}, Recorder<void>());
  EXPECT_EQ(Messages().at(0).first, "not_found");
  Create("a", "i");
  service_->Set(nullptr, "a", SetSpec{std::nullopt, chains}, Recorder<void>());
  messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, "parsing_certificate_failed");
  EXPECT_EQ(messages[0].second.rfind("Parsing certificate [certificate chain #0][certificate #1] "
                                     "failed:\n-----BEGIN CERTIFICATE-----\nAAAA\n"
                                     "-----END CERTIFICATE-----\nReason: ",
                                     0),
            0u);
}

TEST_F(SecurityTokenIssuersImplTest, StoreFailuresAnswerErrorWithTheStoreText) {
  Create("a", "i");
  OpenService(/*readOnly=*/true);
  events_.clear();
  Create("b", "j");
  service_->Set(nullptr, "a", SetSpec{"k", std::nullopt}, Recorder<void>());
  service_->Delete(nullptr, "a", Recorder<void>());
  ASSERT_EQ(events_.size(), 6u);
  EXPECT_EQ(error_.kind, Orbi::Std::ErrorKind::kError);
  auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, "storage_update_failed");
  EXPECT_EQ(messages[0].second.rfind("ConfigStore update for issuer alias a failed\nReason: ", 0),
            0u);
  const auto& [name, storeText] = error_.messages[0].args.at(1);
  EXPECT_EQ(name, "message");
  EXPECT_NE(std::get<std::string>(storeText).find("trust_security_token_issuers"),
            std::string::npos);
  EXPECT_TRUE(messages[0].second.ends_with(std::get<std::string>(storeText)));
  for (size_t i = 0; i < events_.size(); i += 2) {
    EXPECT_EQ(events_[i].rfind("log ConfigStore update for issuer alias ", 0), 0u);
    EXPECT_EQ(events_[i + 1], "fail");
  }
  EXPECT_TRUE(container_->HasAlias("a") && container_->HasIssuer("i"));
  EXPECT_FALSE(container_->HasAlias("b") || container_->HasIssuer("k"));
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
