// Readers and writers sharing one registry through its lock, as the service and the
// authentication handlers do; meant for the thread-sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "platform/basalt/xml/testing/xmlsecSigner.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

TEST(CertificateChainsContainer, ReadersSeeTheTablesAgreeWhileWritersChangeThem) {
  Basalt::Xml::Testing::TempDir dir;  // names itself TESSEL_ROOT: made before the store's root
  NoxConfigStore::Testing::TemporaryHostRoot root;
  CertificateChainsContainer container(NoxConfigStore::ConfigStore::Open(root.StoreOptions()));
  ChainList two;
  for (const char* name : {"one", "two"}) {
    auto key = GenerateKey(dir, name, Basalt::Xml::Testing::KeyType::kEcP256);
    two.push_back(std::make_shared<X509CertChain>(X509CertChain{{key.certPemText}}));
  }
  const ChainList one{two[0]};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < 24; ++round) {
        const std::string alias = "alias-" + std::to_string(w) + "-" + std::to_string(round % 4);
        const std::string issuer = "issuer-" + std::to_string(w) + "-" + std::to_string(round);
        Basalt::System::ScopedWriteLock lock(container);
        // Refusals (an alias already there, or already gone) are part of the mix.
        if (round % 3 == 0) (void)container.CreateIssuer(alias, issuer, one);
        if (round % 3 == 1) (void)container.UpdateIssuer(alias, issuer, two);
        if (round % 3 == 2) (void)container.RemoveIssuer(alias);
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    // Bounded: the platform lock may prefer readers, so endless readers could starve writers.
    threads.emplace_back([&] {
      for (int pass = 0; pass < 300; ++pass) {
        Basalt::System::ScopedReadLock lock(container);
        for (const auto& [alias, info] : container.GetInfoByAlias()) {
          torn += !container.HasIssuer(info.issuer) ||
                  *container.FindAliasByIssuer(info.issuer) != alias ||
                  container.FindCertificatesByIssuer(info.issuer)->size() !=
                      info.signing_cert_chains.size();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
  // Memory and store ended up in the same state.
  CertificateChainsContainer reloaded(NoxConfigStore::ConfigStore::Open(root.StoreOptions()));
  ASSERT_EQ(reloaded.GetInfoByAlias().size(), container.GetInfoByAlias().size());
  for (const auto& [alias, info] : container.GetInfoByAlias()) {
    const Info* stored = reloaded.FindInfo(alias);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->issuer, info.issuer);
    EXPECT_EQ(stored->signing_cert_chains.size(), info.signing_cert_chains.size());
  }
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
