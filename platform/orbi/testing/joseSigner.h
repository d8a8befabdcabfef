// Test and benchmark support: signatures of the request-proof algorithms made with OpenSSL, so
// that the verifier is checked against its own library's signer with the JOSE conventions.
#pragma once

#include <string>

#include "platform/basalt/crypto/openSslHandles.h"

namespace Orbi::Security::Testing {

// "RSA" (2048 bits) or an EC curve name ("P-256", "P-384").
Basalt::Crypto::EvpPkeyHandle GenerateKey(const std::string& type);
Basalt::Crypto::EvpPkeyHandle ReadPrivateKeyPem(const std::string& path);

// Base64 of the DER SubjectPublicKeyInfo.
std::string PublicKeyBase64(EVP_PKEY* key);

// Base64 of the signature of `message` by `algorithm` (RS*, PS256, ES*); ECDSA as r || s unless
// `ecdsaAsDer`.
std::string Sign(EVP_PKEY* key, const std::string& algorithm, const std::string& message,
                 bool ecdsaAsDer = false);

}  // namespace Orbi::Security::Testing
