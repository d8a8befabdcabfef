// Readers and writers sharing one registry through its lock, as the service and the
// authentication handlers do. Meant for the thread-sanitizer build as well.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/testCertificates.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {
namespace {

using Basalt::System::ScopedReadLock;
using Basalt::System::ScopedWriteLock;

constexpr int kWriters = 3;
constexpr int kReaders = 4;
constexpr int kRoundsPerWriter = 25;
constexpr int kPassesPerReader = 300;

// Every alias's issuer points back at it and has one certificate per chain (each chain here
// holds one distinct certificate).
void CheckConsistent(const CertificateChainsContainer& container, std::atomic<int>& torn) {
  for (const auto& [alias, stored] : container.GetInfoByAlias()) {
    const Info info = stored;  // what get answers
    try {
      if (container.GetAliasByIssuer(info.issuer) != alias ||
          container.GetCertificatesByIssuer(info.issuer).size() !=
              info.signing_cert_chains.size()) {
        ++torn;
      }
    } catch (const std::out_of_range&) {
      ++torn;
    }
  }
}

TEST(CertificateChainsContainer, ReadersAndWritersConcurrency) {
  NoxConfigStore::Testing::TemporaryHostRoot root;
  auto container = std::make_shared<CertificateChainsContainer>(
      NoxConfigStore::ConfigStore::Open(root.StoreOptions()));
  const ChainList one{std::make_shared<X509CertChain>(
      X509CertChain{{Testing::MakeCertificatePem("one", Testing::KeyType::kEc)}})};
  ChainList two = one;
  two.push_back(std::make_shared<X509CertChain>(
      X509CertChain{{Testing::MakeCertificatePem("two", Testing::KeyType::kEc)}}));

  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < kRoundsPerWriter; ++round) {
        const std::string alias = "alias-" + std::to_string(w) + "-" + std::to_string(round % 4);
        const std::string issuer = "issuer-" + std::to_string(w) + "-" + std::to_string(round);
        ScopedWriteLock lock(*container);
        switch (round % 3) {
          case 0:
            container->CreateIssuer(alias, issuer, one);
            break;
          case 1:
            container->UpdateIssuer(alias, issuer, two);
            break;
          default:
            container->RemoveIssuer(alias);
        }
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      // Bounded: the platform lock may prefer readers, so endless readers could starve writers.
      for (int pass = 0; pass < kPassesPerReader; ++pass) {
        {
          ScopedReadLock lock(*container);
          CheckConsistent(*container, torn);
        }
        std::this_thread::yield();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(torn.load(), 0);
  // Memory and store ended up in the same state.
  CertificateChainsContainer reloaded(NoxConfigStore::ConfigStore::Open(root.StoreOptions()));
  ASSERT_EQ(reloaded.GetInfoByAlias().size(), container->GetInfoByAlias().size());
  for (const auto& [alias, info] : container->GetInfoByAlias()) {
    EXPECT_EQ(reloaded.GetInfo(alias).issuer, info.issuer);
    EXPECT_EQ(reloaded.GetInfo(alias).signing_cert_chains.size(), info.signing_cert_chains.size());
  }
}

}  // namespace
}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
