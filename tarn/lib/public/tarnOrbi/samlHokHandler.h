// Authenticates calls that present a SAML 2.0 holder-of-key assertion of a trusted issuer. The
// proof of possession of the confirmation key is the SAML signature filter's business; this
// handler only establishes who the assertion names. An assertion the filter verified earlier in
// the same call (a VerifiedSamlAssertion in the context) is taken as it is; any other is verified
// here.
#pragma once

#include <functional>
#include <memory>

#include "lib/ssoclient/samlToken.h"
#include "platform/basalt/crypto/certificateCache.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/authn.h"
#include "tarnOrbi/synchronizedCertificateListWrapper.h"

namespace TarnOrbi::Authn {

// Shared by all calls; keeps no per-call state. Answers before AsyncAuthenticate returns.
class SamlHokHandler final : public Orbi::Authn::AuthnHandler {
 public:
  // Adds fields to the authentication data of a verified token; false refuses the caller.
  using EnrichFn = std::function<bool(const std::shared_ptr<const SsoClient::SamlToken>& token,
                                      const std::shared_ptr<Orbi::Data::StructValue>& result)>;

  // `decoded`, when given, keeps the confirmation certificates already decoded (it may be shared
  // with the key extractor that verifies the same assertions).
  SamlHokHandler(SamlCertificateProvider certificates,
                 std::shared_ptr<Basalt::Service::Logger> logger, EnrichFn enrich = nullptr,
                 Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock(),
                 std::shared_ptr<Basalt::Crypto::CertificateCache> decoded = nullptr);

  // Not this scheme, or no "samlHokToken" or "samlHokTokenAlgorithm": nullptr. A token that does
  // not parse, check or verify, or that enrichment refuses: Unauthenticated, without a log line
  // or detail. Otherwise the "SamlToken" structure with "username" domain\name (name alone for
  // an empty domain), as enrichment leaves it.
  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;
  bool AnswersAtOnce() const override { return true; }

 private:
  SamlCertificateProvider certificates_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  EnrichFn enrich_;
  Basalt::System::UtcClock clock_;
  std::shared_ptr<Basalt::Crypto::CertificateCache> decoded_;
};

}  // namespace TarnOrbi::Authn
