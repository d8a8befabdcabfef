// Verification of a caller's request signature with one public key, as the SAML signature filter
// uses it. Implementations are immutable and safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Orbi::Security {

class SignatureVerifier {
 public:
  virtual ~SignatureVerifier() = default;
  // True only when `signature` is a valid signature of `message`.
  virtual bool Verify(std::string_view message, const std::vector<uint8_t>& signature) const = 0;
};

class SignatureVerifierFactory {
 public:
  virtual ~SignatureVerifierFactory() = default;
  // A verifier for `algorithm` (a JOSE name such as "RS256") with the public key in the bytes
  // `publicKey`; nullptr when the algorithm is not supported or the key does not suit it.
  virtual std::unique_ptr<const SignatureVerifier> Create(
      const std::string& algorithm, const std::vector<uint8_t>& publicKey) const = 0;
};
using SignatureVerifierFactoryPtr = std::shared_ptr<const SignatureVerifierFactory>;

}  // namespace Orbi::Security
