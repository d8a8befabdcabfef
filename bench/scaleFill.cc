// Fills the host store under $TESSEL_ROOT through the daemon's own store layer, for bench/scale.sh:
//
//   scale_fill PROFILES ISSUERS CERT.pem...
//
// PROFILES client profiles, a third each local users, external users and external groups, and
// ISSUERS trusted issuers "scale-<i>" ("https://scale-<i>.example") with three chains of one
// certificate each, taken in turn from the given PEM files. Every profile names an issuer alias
// among those, so the profiles look like a real site's. Each change is written as the daemon
// writes it, one durable transaction at a time; run with the daemon stopped.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "platform/configstore/configStore.h"

namespace {

namespace Issuers = Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc;
namespace Profiles = Com::Tessel::Nox::Authentication::ClientProfilesSvc;

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Alias(long i) { return "scale-" + std::to_string(i); }

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void FillIssuers(const std::shared_ptr<NoxConfigStore::ConfigStore>& store, long count,
                 const std::vector<std::string>& pems) {
  Issuers::CertificateChainsContainer issuers(store);
  Basalt::System::ScopedWriteLock lock(issuers);
  for (long i = 0; i < count; ++i) {
    Issuers::ChainList chains;
    for (long chain = 0; chain < 3; ++chain) {
      chains.push_back(std::make_shared<const Issuers::X509CertChain>(
          Issuers::X509CertChain{{pems[(3 * i + chain) % pems.size()]}}));
    }
    if (!issuers.CreateIssuer(Alias(i), "https://" + Alias(i) + ".example", chains)) {
      std::fprintf(stderr, "scale_fill: issuer %ld was not created\n", i);
      std::exit(1);
    }
  }
}

void FillProfiles(const std::shared_ptr<NoxConfigStore::ConfigStore>& store, long count,
                  long issuerCount) {
  NoxToken::ClientProfileAccess profiles(store);
  Basalt::System::ScopedWriteLock lock(profiles);
  const Profiles::SubjectType kinds[] = {Profiles::SubjectType::LOCAL_USER,
                                         Profiles::SubjectType::EXTERNAL_USER,
                                         Profiles::SubjectType::EXTERNAL_GROUP};
  for (long i = 0; i < count; ++i) {
    auto subject = std::make_shared<Profiles::Subject>();
    subject->type = kinds[i % 3];
    subject->name = "scale-subject-" + std::to_string(i);
    if (subject->type != Profiles::SubjectType::LOCAL_USER) {
      subject->issuerAlias = Alias(issuerCount > 0 ? i % issuerCount : 0);
      subject->domain = "scale.example";
    }
    auto profile = std::make_shared<Profiles::Info>();
    profile->subject = subject;
    auto grant = std::make_shared<Profiles::AccessGrant>();
    grant->resourceType = Profiles::ResourceType::HOST;
    grant->entitlement = Profiles::Entitlement::READ_ONLY;
    profile->grants.push_back(grant);
    const std::string name = NoxToken::MakeProfileName(*subject);
    if (!profiles.Insert(name, profile).ok()) {
      std::fprintf(stderr, "scale_fill: profile %s was not inserted\n", name.c_str());
      std::exit(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: scale_fill PROFILES ISSUERS CERT.pem...\n");
    return 2;
  }
  const long profileCount = std::atol(argv[1]);
  const long issuerCount = std::atol(argv[2]);
  std::vector<std::string> pems;
  for (int i = 3; i < argc; ++i) pems.push_back(ReadFile(argv[i]));

  auto store = NoxConfigStore::ConfigStore::GetStore(NoxConfigStore::sGlobalNamespace);
  auto start = std::chrono::steady_clock::now();
  FillIssuers(store, issuerCount, pems);
  std::printf("scale_fill: %ld issuers in %.1f s\n", issuerCount, SecondsSince(start));
  start = std::chrono::steady_clock::now();
  FillProfiles(store, profileCount, issuerCount);
  std::printf("scale_fill: %ld profiles in %.1f s\n", profileCount, SecondsSince(start));
  return 0;
}
