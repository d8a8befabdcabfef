// Signatures of the request-proof algorithms (RS256, RS384, RS512, PS256, ES256, ES384) with the
// JOSE conventions the holder-of-key proof uses: PSS with a digest-sized salt, ECDSA as r || s.
// Stateless; safe from any thread.
#pragma once

#include <string>

#include "platform/basalt/crypto/openSslHandles.h"

namespace Orbi::Security {

// The private key of a PEM file (PKCS#8 or traditional, unencrypted). Throws std::runtime_error
// naming the file when it cannot be read or holds no private key.
Basalt::Crypto::EvpPkeyHandle ReadPrivateKeyPem(const std::string& path);

// True when `algorithm` is one of the six and `key` fits it (RSA of 2048 bits or more for RS*
// and PS256, a P-256 key for ES256, a P-384 key for ES384).
bool KeyFitsAlgorithm(EVP_PKEY* key, const std::string& algorithm);

// Standard Base64 of the signature of `message`: the digest by the algorithm name's size, PSS for
// PS*, ECDSA as r || s unless `ecdsaAsDer`. The key is not checked against the algorithm (tests
// sign with misfits on purpose; callers check KeyFitsAlgorithm). Throws std::runtime_error when
// OpenSSL fails.
std::string SignBase64(EVP_PKEY* key, const std::string& algorithm, const std::string& message,
                       bool ecdsaAsDer = false);

}  // namespace Orbi::Security
