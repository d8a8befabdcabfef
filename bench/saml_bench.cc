// Tokens per second of CreateVerifiedSamlToken on a typical holder-of-key assertion, measured in
// the same run as the floor: xmlsec verifying the same document's signature with nothing else
// (parse into a DOM, register the ID, verify). Single-threaded; pin it with taskset for one core.
#include <benchmark/benchmark.h>

#include <xmlsec/xmlsec.h>

#include <libxml/parser.h>
#include <xmlsec/keys.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <cstdio>
#include <map>
#include <stdexcept>

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "lib/ssoclient/testing/samlTestTokens.h"
#include "platform/basalt/xml/xmlSecLibrary.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/openSslSignatureVerifier.h"
#include "platform/orbi/samlVerifierFilter.h"
#include "platform/orbi/testing/joseSigner.h"
#include "tarnOrbi/samlHokHandler.h"
#include "tarnOrbi/samlVerifyKeyExtractor.h"

namespace {

struct Fixture {
  SsoClient::Testing::SamlTestTokens tokens;
  std::string xml = tokens.Signed(tokens.DefaultSpec(), tokens.IssuerRsa());
  SsoClient::CertificateList trusted{tokens.Certificate(tokens.IssuerRsa())};
  Basalt::Crypto::CertificateCache certificates;
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_CreateVerifiedSamlToken(benchmark::State& state) {
  Fixture& fixture = GetFixture();
  const SsoClient::CertificateProvider provider = [&](const SsoClient::SamlToken*) {
    return std::make_unique<SsoClient::UnguardedCertificateList>(fixture.trusted);
  };
  const auto clock =
      Basalt::System::FixedUtcClock(Basalt::System::DateTime("2030-01-01T10:30:00Z"));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        SsoClient::CreateVerifiedSamlToken(fixture.xml, provider, clock, &fixture.certificates));
  }
  state.SetItemsProcessed(state.iterations());
}

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct DSigCtxDeleter {
  void operator()(xmlSecDSigCtx* ctx) const { xmlSecDSigCtxDestroy(ctx); }
};

void BM_XmlsecVerifyFloor(benchmark::State& state) {
  Fixture& fixture = GetFixture();
  Basalt::Xml::Security::EnsureXmlSecInitialized();
  static const xmlChar* kIdAttributes[] = {BAD_CAST "ID", nullptr};
  for (auto _ : state) {
    std::unique_ptr<xmlDoc, DocDeleter> doc(xmlReadMemory(fixture.xml.data(),
                                                          static_cast<int>(fixture.xml.size()),
                                                          nullptr, nullptr, XML_PARSE_NONET));
    xmlNode* root = xmlDocGetRootElement(doc.get());
    xmlSecAddIDs(doc.get(), root, kIdAttributes);
    xmlNode* signature = xmlSecFindNode(root, xmlSecNodeSignature, xmlSecDSigNs);
    std::unique_ptr<xmlSecDSigCtx, DSigCtxDeleter> ctx(xmlSecDSigCtxCreate(nullptr));
    ctx->signKey = xmlSecKeyCreate();
    xmlSecKeySetValue(ctx->signKey,
                      xmlSecOpenSSLEvpKeyAdopt(fixture.trusted[0]->GetPublicKey().release()));
    if (xmlSecDSigCtxVerify(ctx.get(), signature) < 0 || ctx->status != xmlSecDSigStatusSucceeded) {
      state.SkipWithError("xmlsec did not verify the token");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Not part of the floor but required of every token: decoding its holder-of-key certificate.
void BM_DecodeConfirmationCertificate(benchmark::State& state) {
  Fixture& fixture = GetFixture();
  const std::vector<uint8_t> der = fixture.tokens.Certificate(fixture.tokens.Client())->GetDer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Basalt::Crypto::CreateCertificate(der.data(), der.size()));
  }
  state.SetItemsProcessed(state.iterations());
}

// The stand-in for the issuer registry: one list, behind a reader/writer lock.
struct Registry final : Basalt::System::RwLockableMixin {
  SsoClient::CertificateList trusted;
};

// Ends the chain: answers the caller's user name.
struct Answer final : Orbi::Core::AsyncApiProvider {
  std::string ToString() const override { return "Answer"; }
  void Invoke(const Orbi::Core::MethodIdentifier&, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb cb) override {
    cb(Orbi::Core::MethodResult::Output(context->authnResult), std::nullopt, nullptr);
  }
};

// One holder-of-key call through the daemon's SAML path: the signature filter (proof of
// possession, with the key extractor's verification) and the handler's filter (which takes the
// verified assertion from the filter), without HTTP and token minting. With argument 0 the
// assertion is remembered once verified, as the daemon does, so a call presenting it again pays
// the proof alone; with 1 every call verifies it: the cost saved.
void BM_HolderOfKeyCall(benchmark::State& state) {
  const bool remember = state.range(0) == 0;
  Fixture& fixture = GetFixture();
  auto registry = std::make_shared<Registry>();
  registry->trusted = fixture.trusted;
  const TarnOrbi::SamlCertificateProvider certificates = [registry](const SsoClient::SamlToken&) {
    return TarnOrbi::SynchronizedCertificateListWrapper(
        registry, [&]() -> const SsoClient::CertificateList& { return registry->trusted; });
  };
  const auto clock =
      Basalt::System::FixedUtcClock(Basalt::System::DateTime("2030-01-01T10:30:00Z"));
  auto logger = Basalt::Service::Logger::CreateRoot("bench", 0, [](const auto&) {});
  // As the daemon does: the filter and the handler share one cache of decoded certificates.
  auto decoded = std::make_shared<Basalt::Crypto::CertificateCache>();
  Orbi::Core::ProviderPtr chain = std::make_shared<Orbi::Authn::Filter::AsyncAuthnFilter>(
      std::make_shared<Answer>(), std::make_shared<TarnOrbi::Authn::SamlHokHandler>(
                                      certificates, logger, nullptr, clock, decoded));
  chain = std::make_shared<Orbi::Security::AsyncSamlVerifierFilter>(
      chain, Orbi::Security::CreateOpenSslSignatureVerifierFactory(),
      TarnOrbi::SamlVerifyKeyExtractor(
          certificates, logger, clock, decoded,
          remember ? std::make_shared<SsoClient::VerifiedSamlTokenCache>() : nullptr),
      nullptr, 600, clock);

  const std::string timestamp = "2030-01-01T10:30:00Z";
  const auto clientKey =
      Orbi::Security::Testing::ReadPrivateKeyPem(fixture.tokens.Client().keyPem.string());
  const Orbi::Core::ExecutionContext call{
      {{"schemeId", Orbi::Security::kSamlHokScheme},
       {"samlHokToken", fixture.xml},
       {"samlHokTokenAlgorithm", "ES256"},
       {"signatureTimestamp", timestamp},
       {"signatureValue",
        Orbi::Security::Testing::Sign(clientKey.get(), "ES256",
                                      "{\"input\":{},\"operationId\":\"create\",\"serviceId\":"
                                      "\"com.tessel.nox.authentication.token\",\"timestamp\":\"" +
                                          timestamp + "\"}")}},
      {},
      nullptr,
      {},
      nullptr,
      std::nullopt};
  const Orbi::Core::MethodIdentifier create{"com.tessel.nox.authentication.token", "create"};
  const auto input = std::make_shared<Orbi::Data::StructValue>("");
  for (auto _ : state) {
    bool authenticated = false;
    chain->Invoke(create, input, std::make_shared<Orbi::Core::ExecutionContext>(call),
                  [&](std::optional<Orbi::Core::MethodResult> result, auto, auto) {
                    authenticated = result && !result->HasError() && result->output;
                  });
    if (!authenticated) {
      state.SkipWithError("the call was not authenticated");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_CreateVerifiedSamlToken);
BENCHMARK(BM_HolderOfKeyCall)->Arg(0)->Arg(1);
BENCHMARK(BM_XmlsecVerifyFloor);
BENCHMARK(BM_DecodeConfirmationCertificate);

// Prints the usual table, then the ratio of the two rates.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rates_[run.benchmark_name()] = items->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double full = rates_["BM_CreateVerifiedSamlToken"];
    const double call = rates_["BM_HolderOfKeyCall/0"];
    const double twice = rates_["BM_HolderOfKeyCall/1"];
    const double floor = rates_["BM_XmlsecVerifyFloor"];
    if (full > 0 && floor > 0) {
      std::printf(
          "CreateVerifiedSamlToken: %.0f tokens/s; xmlsec verification alone: %.0f/s; "
          "ratio %.2f of the floor\n",
          full, floor, full / floor);
    }
    if (call > 0 && floor > 0) {
      std::printf(
          "holder-of-key call (assertion and proof verified): %.0f calls/s; ratio %.2f of "
          "the floor\n",
          call, call / floor);
    }
    if (twice > 0 && floor > 0) {
      std::printf(
          "the same call verifying the assertion again in the handler: %.0f calls/s; ratio "
          "%.2f of the floor\n",
          twice, twice / floor);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GetFixture();  // Keys and signing happen before any timing.
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
