// Test and benchmark support: signatures of the request-proof algorithms made with OpenSSL, so
// that the verifier is checked against its own library's signer with the JOSE conventions.
#pragma once

#include <string>

#include "platform/basalt/crypto/openSslHandles.h"
#include "platform/orbi/joseSigner.h"

namespace Orbi::Security::Testing {

// "RSA" (2048 bits) or an EC curve name ("P-256", "P-384").
Basalt::Crypto::EvpPkeyHandle GenerateKey(const std::string& type);
using Orbi::Security::ReadPrivateKeyPem;

// Base64 of the DER SubjectPublicKeyInfo.
std::string PublicKeyBase64(EVP_PKEY* key);

// The product's signer under the name the tests use.
inline std::string Sign(EVP_PKEY* key, const std::string& algorithm, const std::string& message,
                        bool ecdsaAsDer = false) {
  return Orbi::Security::SignBase64(key, algorithm, message, ecdsaAsDer);
}

}  // namespace Orbi::Security::Testing
