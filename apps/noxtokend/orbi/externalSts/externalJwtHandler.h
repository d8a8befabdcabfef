// Authenticates calls that present a JWT of a registered external issuer as an OAuth access token:
// the issuer's alias from the registry, the signature checked with the alias's certificates, then
// the expiry, then the configured audience and not-before checks (ExternalTokenPolicy); the
// caller's alias, name, domain and groups become its authentication data.
//
// Shared by all calls; keeps no per-call state. Reads the registry only under its read lock, so a
// change through the issuers service takes effect for the next call. Certificates are decoded
// through a bounded cache keyed by their DER bytes, so a certificate met before costs no decoding,
// and each registered certificate's text is remembered with its decoded form, so a call finds its
// issuer's keys without reading the text again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/externalJwtAlgorithms.h"
#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
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

  // Bytes of tokens kept that carry no issuer (the daemon's own), which are passed on to the next
  // handler without being decoded again.
  static constexpr size_t kWithoutIssuerBytes = 1 << 20;
  // Bytes of registered certificate texts kept with their decoded certificates.
  static constexpr size_t kDecodedByPemBytes = 1 << 20;

 private:
  // Called with the registry's read lock held.
  bool VerifyTokenWithAlias(const std::string& token, const ExternalTokenHeader& header,
                            const std::string& alias) const REQUIRES_SHARED(*container_);
  // Tries one certificate text; false after logging why it did not verify the token.
  bool VerifyWithCertificate(const std::string& token, const ExternalTokenHeader& header,
                             const std::string& certificate, const std::string& alias) const;
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
};

}  // namespace Nox::Authn
