// The entry point for callers that accept SAML tokens: parse, check and verify in one step.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/ssoclient/samlToken.h"
#include "lib/ssoclient/ssoExceptions.h"
#include "platform/basalt/crypto/certificateCache.h"

namespace SsoClient {

class VerifiedSamlTokenCache;

using CertificateList = std::vector<Basalt::Crypto::CertificatePtr>;

// A certificate list together with whatever keeps it unchanged (typically its owner's read lock)
// until this object is destroyed. CreateVerifiedSamlToken destroys it as soon as it has copied
// the list, so no lock is held while a signature is verified.
class HeldCertificateList {
 public:
  virtual ~HeldCertificateList() = default;
  virtual const CertificateList& GetList() const = 0;
};

// For a list that nobody changes while it is in use (tools, tests): holds nothing.
class UnguardedCertificateList final : public HeldCertificateList {
 public:
  explicit UnguardedCertificateList(const CertificateList& list) : list_(list) {}
  const CertificateList& GetList() const override { return list_; }

 private:
  const CertificateList& list_;
};

// Chooses the certificates trusted for a parsed token (typically by its Issuer). Called once per
// token; must not return null.
using CertificateProvider =
    std::function<std::unique_ptr<const HeldCertificateList>(const SamlToken*)>;

// The clock tolerance at both ends of a token's validity window.
inline constexpr int64_t kClockToleranceSeconds = 600;

// Throws ParseException or InvalidSignatureException with the refusal, or a Basalt::Exception
// for malformed XML or certificate data. An expired or malformed token is refused before its
// signature is looked at.
std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider);

// The same, with "now" taken from `clock` (diagnostic tools and tests).
std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(const std::string& xml,
                                                         const CertificateProvider& provider,
                                                         const Basalt::System::UtcClock& clock);

// The same, decoding the holder-of-key certificate through `certificates` (when not null), which
// callers share so that a certificate met again is not decoded again. With `remembered`, a token
// verified before from the same text against the same trusted certificates, and still within its
// validity window, is given back without being parsed or verified again (the provider is still
// asked for the certificates trusted now); any other text takes every check.
std::shared_ptr<const SamlToken> CreateVerifiedSamlToken(
    const std::string& xml, const CertificateProvider& provider,
    const Basalt::System::UtcClock& clock, Basalt::Crypto::CertificateCache* certificates,
    VerifiedSamlTokenCache* remembered = nullptr);

}  // namespace SsoClient
