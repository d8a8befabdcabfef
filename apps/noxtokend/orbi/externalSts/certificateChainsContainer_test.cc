#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "apps/noxtokend/orbi/externalSts/testCertificates.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using NoxConfigStore::ConfigStore;
using NoxConfigStore::ConfigStoreException;
using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::ConfigStoreObjectId;
using NoxConfigStore::FilterSpecObject;
using NoxConfigStore::StringList;
using NoxConfigStore::SubObjectId;
using Testing::KeyType;
using Testing::MakeCertificatePem;

ConfigStoreObjectId IssuerId(std::optional<std::string> alias = std::nullopt) {
  return ConfigStoreObjectId("trust_security_token_issuers", "authentication", "nox", alias);
}

ChainList Chains(std::vector<std::vector<std::string>> texts) {
  ChainList chains;
  for (auto& chain : texts) chains.push_back(std::make_shared<X509CertChain>(X509CertChain{chain}));
  return chains;
}

std::vector<StringList> Texts(const ChainList& chains) {
  std::vector<StringList> texts;
  for (const auto& chain : chains) texts.push_back(chain->cert_chain);
  return texts;
}

std::string Standardized(const std::string& pem) { return pem.substr(0, pem.size() - 1); }

class CertificateChainsContainerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ConfigStore> Store(bool readOnly = false) {
    auto options = root_.StoreOptions();
    options.readOnly = readOnly;
    return ConfigStore::Open(options);
  }

  // The chains as stored, in the store's order, with their sub-object instance ids.
  std::vector<std::pair<std::string, StringList>> StoredChains(const std::string& alias) {
    std::vector<std::pair<std::string, StringList>> chains;
    auto object = Store()->GetObject(IssuerId(alias));
    if (!object) return chains;
    for (const auto& sub : object->GetSubObjectInstances(FilterSpecObject("signing_cert_chains"))) {
      StringList texts;
      EXPECT_TRUE(sub->GetValue("cert_chain", texts));
      chains.emplace_back(*sub->GetSubObjectId()->GetInstanceId(), texts);
    }
    return chains;
  }

  // The three tables agree about the alias.
  static void ExpectRegistered(const CertificateChainsContainer& container,
                               const std::string& alias, const std::string& issuer,
                               size_t certificates) {
    EXPECT_EQ(container.GetInfo(alias).issuer, issuer);
    EXPECT_EQ(container.GetAliasByIssuer(issuer), alias);
    EXPECT_EQ(container.GetCertificatesByIssuer(issuer).size(), certificates);
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  // Made once for the suite: key generation is the slow part.
  const std::string* rsa_ = &Pem(KeyType::kRsa);
  const std::string* ec_ = &Pem(KeyType::kEc);

 private:
  static const std::string& Pem(KeyType type) {
    static const std::string rsa = MakeCertificatePem("rsa", KeyType::kRsa);
    static const std::string ec = MakeCertificatePem("ec", KeyType::kEc);
    return type == KeyType::kRsa ? rsa : ec;
  }
};

TEST_F(CertificateChainsContainerTest, CreateWritesOneObjectAndFillsTheTables) {
  CertificateChainsContainer container(Store());
  const std::string alias = "a#\\\"ü", issuer = "https://idp/\xe2\x82\xac";
  auto conflicts = container.CreateIssuer(alias, issuer, Chains({{*rsa_ + "\r\n", *ec_}, {*ec_}}));
  EXPECT_FALSE(conflicts.aliasExists || conflicts.issuerExists);
  ExpectRegistered(container, alias, issuer, 2);
  const std::vector<StringList> expected{{Standardized(*rsa_), Standardized(*ec_)},
                                         {Standardized(*ec_)}};
  EXPECT_EQ(Texts(container.GetInfo(alias).signing_cert_chains), expected);

  auto object = Store()->GetObject(IssuerId(alias));
  ASSERT_TRUE(object);
  std::string value;
  EXPECT_TRUE(object->GetValue("issuer_alias", value) && value == alias);
  EXPECT_TRUE(object->GetValue("issuer", value) && value == issuer);
  auto stored = StoredChains(alias);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].second, expected[0]);
  EXPECT_EQ(stored[1].second, expected[1]);

  CertificateChainsContainer reloaded(Store());
  ExpectRegistered(reloaded, alias, issuer, 2);
  EXPECT_EQ(Texts(reloaded.GetInfo(alias).signing_cert_chains), expected);
}

TEST_F(CertificateChainsContainerTest, CreateReportsBothConflictsAndWritesNothing) {
  CertificateChainsContainer container(Store());
  container.CreateIssuer("a1", "i1", {});
  container.CreateIssuer("a2", "i2", {});
  auto both = container.CreateIssuer("a1", "i2", Chains({{"garbage"}}));
  EXPECT_TRUE(both.aliasExists && both.issuerExists);
  auto issuerOnly = container.CreateIssuer("a3", "i1", {});
  EXPECT_TRUE(!issuerOnly.aliasExists && issuerOnly.issuerExists);
  EXPECT_EQ(Store()->ListInstances(FilterSpecObject(IssuerId())).size(), 2u);
  ExpectRegistered(container, "a1", "i1", 0);
  EXPECT_THROW(container.GetInfo("a3"), std::out_of_range);
}

TEST_F(CertificateChainsContainerTest, BadCertificatesChangeNothing) {
  CertificateChainsContainer container(Store());
  EXPECT_THROW(container.CreateIssuer("a", "i", Chains({{*rsa_ + "x"}})),
               StandardizingCertificatesFailure);
  EXPECT_THROW(container.CreateIssuer("a", "i", Chains({{*rsa_, "AAAA"}})),
               ParsingCertificatesFailure);
  EXPECT_FALSE(container.HasAlias("a") || container.HasIssuer("i"));
  EXPECT_TRUE(Store()->ListInstances(FilterSpecObject(IssuerId())).empty());

  container.CreateIssuer("a", "i", Chains({{*rsa_}}));
  EXPECT_THROW(container.UpdateIssuer("a", "j", Chains({{"AAAA"}})), ParsingCertificatesFailure);
  ExpectRegistered(container, "a", "i", 1);
  EXPECT_EQ(StoredChains("a").at(0).second, StringList{Standardized(*rsa_)});
}

TEST_F(CertificateChainsContainerTest, UpdateIssuerMovesCertificatesAndRewritesTheObject) {
  CertificateChainsContainer container(Store());
  container.CreateIssuer("a", "old", Chains({{*rsa_}, {*ec_}}));
  container.CreateIssuer("b", "other", {});
  const auto before = StoredChains("a");

  EXPECT_TRUE(container.UpdateIssuer("a", "new", std::nullopt));
  ExpectRegistered(container, "a", "new", 2);
  EXPECT_THROW(container.GetAliasByIssuer("old"), std::out_of_range);
  EXPECT_THROW(container.GetCertificatesByIssuer("old"), std::out_of_range);
  const auto after = StoredChains("a");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].second, before[0].second);
  EXPECT_NE(after[0].first, before[0].first);  // chain sub-objects get fresh ids

  EXPECT_TRUE(container.UpdateIssuer("a", "new", Chains({{*ec_}})));
  ExpectRegistered(container, "a", "new", 1);
  EXPECT_EQ(container.GetCertificatesByIssuer("new")[0]->GetSubjectName(), "CN=ec");
  EXPECT_TRUE(container.UpdateIssuer("a", std::nullopt, std::nullopt));
  EXPECT_EQ(StoredChains("a").at(0).second, StringList{Standardized(*ec_)});

  try {
    container.UpdateIssuer("a", "other", Chains({{*rsa_}}));
    FAIL() << "no conflict";
  } catch (const IssuerConflictFailure& failure) {
    EXPECT_EQ(failure.GetConflict().issuer, "other");
    EXPECT_EQ(failure.GetConflict().issuer_alias, "b");
  }
  ExpectRegistered(container, "a", "new", 1);
  ExpectRegistered(container, "b", "other", 0);
  EXPECT_FALSE(container.UpdateIssuer("missing", "x", std::nullopt));
  EXPECT_FALSE(Store()->GetObject(IssuerId("missing")));
}

TEST_F(CertificateChainsContainerTest, RemoveDeletesTheObject) {
  CertificateChainsContainer container(Store());
  container.CreateIssuer("a", "i", Chains({{*rsa_}}));
  EXPECT_TRUE(container.RemoveIssuer("a"));
  EXPECT_FALSE(container.RemoveIssuer("a"));
  EXPECT_FALSE(container.HasAlias("a") || container.HasIssuer("i"));
  EXPECT_THROW(container.GetAliasByIssuer("i"), std::out_of_range);
  EXPECT_FALSE(Store()->GetObject(IssuerId("a")));
  EXPECT_TRUE(CertificateChainsContainer(Store()).GetInfoByAlias().empty());
}

TEST_F(CertificateChainsContainerTest, StoreFailuresLeaveMemoryAndStoreAsTheyWere) {
  CertificateChainsContainer(Store()).CreateIssuer("a", "i", Chains({{*rsa_}}));
  CertificateChainsContainer container(Store(/*readOnly=*/true));
  EXPECT_THROW(container.CreateIssuer("b", "j", Chains({{*ec_}})), ConfigStoreException);
  EXPECT_THROW(container.UpdateIssuer("a", "k", Chains({{*ec_}})), ConfigStoreException);
  EXPECT_THROW(container.RemoveIssuer("a"), ConfigStoreException);
  EXPECT_FALSE(container.HasAlias("b") || container.HasIssuer("j") || container.HasIssuer("k"));
  ExpectRegistered(container, "a", "i", 1);
  EXPECT_EQ(container.GetCertificatesByIssuer("i")[0]->GetSubjectName(), "CN=rsa");

  CertificateChainsContainer reloaded(Store());
  EXPECT_EQ(reloaded.GetInfoByAlias().size(), 1u);
  ExpectRegistered(reloaded, "a", "i", 1);
  // A failed create leaves nothing behind that would stop a later one.
  EXPECT_FALSE(reloaded.CreateIssuer("b", "j", {}).aliasExists);
}

TEST_F(CertificateChainsContainerTest, LoadKeepsTheFirstOfObjectsThatBreakUniqueness) {
  auto store = Store();
  auto write = [&](const std::string& instance, const std::string& alias, const std::string& issuer,
                   std::vector<StringList> chains) {
    ConfigStoreObject object(IssuerId(instance));
    object.SetValue("issuer_alias", alias);
    object.SetValue("issuer", issuer);
    object.SetValueEmptyList("signing_cert_chains");
    for (auto& texts : chains) {
      object.CreateSubObject(SubObjectId("signing_cert_chains", store->GenerateInstanceId()))
          ->SetValue("cert_chain", texts);
    }
    store->WriteObject(object);
  };
  write("a", "a", "i", {{Standardized(*ec_)}, {Standardized(*rsa_)}});
  write("b", "b", "i", {{Standardized(*rsa_)}});  // issuer of a
  write("c", "a", "j", {});                       // alias of a
  write("d", "d", "k", {});

  CertificateChainsContainer container(store);
  EXPECT_EQ(container.GetInfoByAlias().size(), 2u);
  ExpectRegistered(container, "a", "i", 2);
  ExpectRegistered(container, "d", "k", 0);
  EXPECT_FALSE(container.HasAlias("b") || container.HasIssuer("j"));
  EXPECT_EQ(Texts(container.GetInfo("a").signing_cert_chains),
            (std::vector<StringList>{{Standardized(*ec_)}, {Standardized(*rsa_)}}));

  write("e", "e", "l", {{"not a certificate"}});
  EXPECT_THROW(CertificateChainsContainer{store}, ParsingCertificatesFailure);
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
