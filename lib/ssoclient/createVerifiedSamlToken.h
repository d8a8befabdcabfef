// The entry point for callers that accept SAML tokens: parse, check and verify in one step.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/ssoclient/samlToken.h"
#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {

using CertificateList = std::vector<Basalt::Crypto::CertificatePtr>;

// Chooses the certificates trusted for a parsed token (typically by its Issuer). Called once per
// token; the list must not change until the call that received it has copied it.
using CertificateProvider = std::function<const CertificateList&(const SamlToken*)>;

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

}  // namespace SsoClient
