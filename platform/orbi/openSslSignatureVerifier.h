// The signature-verifier factory over OpenSSL. Keys are DER SubjectPublicKeyInfo; algorithms and
// signature forms are those of RFC 7518: RS256, RS384, RS512 (RSASSA-PKCS1-v1_5), PS256
// (RSASSA-PSS, MGF1 with SHA-256, 32-byte salt), ES256 (P-256) and ES384 (P-384); ES512 (P-521)
// only through CreateOpenSslSignatureVerifier, since proofs of possession do not offer it.
// ECDSA signatures are the raw big-endian r || s of the curve's size; DER is not accepted, so every
// signature has exactly one encoding. RSA keys must have at least 2048 bits. The factory keeps the
// keys it decoded, by their exact DER (bounded), so a key met again costs no decoding.
#pragma once

#include <memory>
#include <string>

#include "platform/basalt/crypto/openSslHandles.h"
#include "platform/orbi/signatureVerifier.h"

namespace Orbi::Security {

SignatureVerifierFactoryPtr CreateOpenSslSignatureVerifierFactory();

// A verifier over a key decoded already, for callers that keep decoded keys; the factory's
// algorithms and key rules, and ES512. nullptr when the algorithm is not one of them or `key` does
// not suit it.
std::unique_ptr<const SignatureVerifier> CreateOpenSslSignatureVerifier(
    const std::string& algorithm, Basalt::Crypto::EvpPkeyHandle key);

}  // namespace Orbi::Security
