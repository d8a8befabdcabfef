// Authenticates calls that present a JWT of a registered external issuer as an OAuth access token:
// the issuer's alias from the registry, the signature checked with the alias's certificates, then
// the expiry, then the configured audience and not-before checks (ExternalTokenPolicy); the
// caller's alias, name, domain and groups become its authentication data.
//
// Shared by all calls; keeps no per-call state. Reads the registry only under its read lock, so a
// change through the issuers service takes effect for the next call. Certificates are decoded
// through a bounded cache keyed by their DER bytes, so a certificate met before costs no decoding,
// and each registered certificate's text is remembered with its decoded form, so a call finds its
// issuer's keys without reading the text again. A token whose signature verified is remembered
// (VerifiedTokenCache) until its "exp": presented again, it is checked against the registry as it
// is then, the clock and the policy, with the same answers and log lines, without being decoded
// or verified again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/externalJwtAlgorithms.h"
#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
#include "apps/noxtokend/orbi/externalSts/verifiedTokenCache.h"
#include "platform/authn/authnData.h"
#include "platform/basalt/crypto/certificateCache.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/recentCache.h"
#include "platform/basalt/threadAnnotations.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/localizer.h"

namespace Nox::Authn {

class ExternalJwtHandler final : public Orbi::Authn::AuthnHandler {
 public:
  using Container =
      Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::CertificateChainsContainer;
  // Current UTC time in microseconds since the epoch.
  using ClockFn = std::function<int64_t()>;

  // `localizer` renders the refusals' messages (the daemon's message table). `certificates` may
  // be shared with other handlers; without one the handler keeps its own.
  ExternalJwtHandler(std::shared_ptr<Basalt::Service::Logger> logger,
                     std::shared_ptr<Container> container,
                     std::shared_ptr<const Orbi::L10n::Localizer> localizer,
                     ClockFn clock = nullptr,
                     std::shared_ptr<Basalt::Crypto::CertificateCache> certificates = nullptr,
                     ExternalTokenPolicy policy = {});

  void AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                         Orbi::Authn::AuthnCallback done) override;
  // Verification and its caches need no wait.
  bool AnswersAtOnce() const override { return true; }

  // How many verified tokens are remembered now.
  size_t RememberedTokens() const { return verified_.size(); }

  // Bytes of tokens kept that carry no issuer (the daemon's own), which are passed on to the next
  // handler without being decoded again.
  static constexpr size_t kWithoutIssuerBytes = 1 << 20;
  // Bytes of registered certificate texts kept with their decoded certificates.
  static constexpr size_t kDecodedByPemBytes = 1 << 20;

 private:
  // What trying one certificate on a token came to.
  enum class CertificateOutcome { kVerified, kKeyUnreadable, kNotVerified };

  // The full check of a token not remembered (or whose entry no longer fits the registry).
  void AuthenticateAnew(const std::string& token, int64_t nowSeconds,
                        const Orbi::Authn::AuthnCallback& done);
  // A remembered token checked against the registry as it is now; false when its issuer's alias
  // or certificates changed so that only the full check can say what happens.
  bool AuthenticateKnown(const std::string& token, const VerifiedExternalToken& known,
                         int64_t nowSeconds, const Orbi::Authn::AuthnCallback& done);
  // The checks after the signature: expiry, policy, then the caller's data.
  void Complete(const std::string& alias, const ExternalTokenClaims& claims, int64_t nowSeconds,
                const Orbi::Authn::AuthnCallback& done) const;

  // Called with the registry's read lock held. Records in `verified` the certificates tried and
  // the one that verified.
  bool VerifyTokenWithAlias(const std::string& token, const ExternalTokenHeader& header,
                            const std::string& alias, VerifiedExternalToken& verified) const
      REQUIRES_SHARED(*container_);
  CertificateOutcome VerifyWithCertificate(const std::string& token,
                                           const ExternalTokenHeader& header,
                                           const std::string& certificate) const;
  void LogFailedCertificate(const std::string& certificate, bool keyUnreadable) const;
  void LogVerified(const std::string& token, const std::string& alias) const;
  void RefuseUnknownIssuer(const std::string& issuer, const Orbi::Authn::AuthnCallback& done) const;
  void Refuse(const Orbi::Authn::AuthnCallback& done, Orbi::L10n::Message message) const;
  // The key of a registered certificate's text; nullptr when it is none.
  Basalt::Crypto::EvpPkeyHandle PublicKeyOf(const std::string& pem) const;
  // The policy's refusal of a verified, unexpired token, after logging it.
  bool RefusedByPolicy(const json_t& claims, const std::string& alias, int64_t nowSeconds) const;
  // The groups of a "group_names" array, logging each and each item skipped.
  std::vector<AuthnData::StsGroup> ReadGroups(const json_t* groups) const;

  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::shared_ptr<Container> container_;
  std::shared_ptr<const Orbi::L10n::Localizer> localizer_;
  ClockFn clock_;
  std::shared_ptr<Basalt::Crypto::CertificateCache> certificates_;
  const ExternalTokenPolicy policy_;
  Basalt::RecentCache<bool> withoutIssuer_{kWithoutIssuerBytes};
  mutable Basalt::RecentCache<Basalt::Crypto::CertificatePtr> byPem_{kDecodedByPemBytes};
  VerifiedTokenCache verified_;
};

}  // namespace Nox::Authn
