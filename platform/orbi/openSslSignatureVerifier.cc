#include "platform/orbi/openSslSignatureVerifier.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <array>

#include "platform/basalt/crypto/openSslHandles.h"
#include "platform/basalt/recentCache.h"

namespace Orbi::Security {
namespace {

using Basalt::Crypto::BignumHandle;
using Basalt::Crypto::EcdsaSigHandle;
using Basalt::Crypto::EvpMdCtxHandle;
using Basalt::Crypto::EvpPkeyHandle;

enum class Scheme { kPkcs1, kPss, kEcdsa };

struct Algorithm {
  const char* name;
  Scheme scheme;
  const EVP_MD* (*digest)();
  const char* curve;  // ECDSA only: the group the key must be on
  int scalarBytes;    // ECDSA only: the size of r and of s
  bool proofs;        // offered to proofs of possession (the factory), not only to issuers' JWTs
};

constexpr std::array kAlgorithms{
    Algorithm{"RS256", Scheme::kPkcs1, EVP_sha256, nullptr, 0, true},
    Algorithm{"RS384", Scheme::kPkcs1, EVP_sha384, nullptr, 0, true},
    Algorithm{"RS512", Scheme::kPkcs1, EVP_sha512, nullptr, 0, true},
    Algorithm{"PS256", Scheme::kPss, EVP_sha256, nullptr, 0, true},
    Algorithm{"ES256", Scheme::kEcdsa, EVP_sha256, "prime256v1", 32, true},
    Algorithm{"ES384", Scheme::kEcdsa, EVP_sha384, "secp384r1", 48, true},
    Algorithm{"ES512", Scheme::kEcdsa, EVP_sha512, "secp521r1", 66, false},
};

// Shorter RSA keys are within reach of a determined attacker.
constexpr int kMinRsaBits = 2048;

bool KeySuits(const Algorithm& algorithm, EVP_PKEY* key) {
  if (algorithm.scheme != Scheme::kEcdsa) {
    return EVP_PKEY_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) >= kMinRsaBits;
  }
  if (EVP_PKEY_base_id(key) != EVP_PKEY_EC) return false;
  char group[64];
  size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) == 1 &&
         std::string_view(group, length) == algorithm.curve;
}

// RFC 7518 r || s to the DER form OpenSSL verifies; empty when the length is not the curve's.
std::vector<uint8_t> RawEcdsaToDer(const std::vector<uint8_t>& raw, int scalarBytes) {
  if (raw.size() != 2 * static_cast<size_t>(scalarBytes)) return {};
  BignumHandle r(BN_bin2bn(raw.data(), scalarBytes, nullptr));
  BignumHandle s(BN_bin2bn(raw.data() + scalarBytes, scalarBytes, nullptr));
  EcdsaSigHandle sig(ECDSA_SIG_new());
  if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return {};
  // ECDSA_SIG_set0 took both numbers.
  static_cast<void>(r.release());
  static_cast<void>(s.release());
  const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return {};
  std::vector<uint8_t> der(length);
  unsigned char* out = der.data();
  if (i2d_ECDSA_SIG(sig.get(), &out) != length) return {};
  return der;
}

class OpenSslVerifier final : public SignatureVerifier {
 public:
  OpenSslVerifier(const Algorithm& algorithm, EvpPkeyHandle key)
      : algorithm_(algorithm), key_(std::move(key)) {}

  bool Verify(std::string_view message, const std::vector<uint8_t>& signature) const override {
    std::vector<uint8_t> der;
    const std::vector<uint8_t>* checked = &signature;
    if (algorithm_.scheme == Scheme::kEcdsa) {
      der = RawEcdsaToDer(signature, algorithm_.scalarBytes);
      if (der.empty()) return false;
      checked = &der;
    }
    EvpMdCtxHandle ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyCtx = nullptr;  // owned by ctx
    if (!ctx ||
        EVP_DigestVerifyInit(ctx.get(), &keyCtx, algorithm_.digest(), nullptr, key_.get()) != 1) {
      ERR_clear_error();
      return false;
    }
    if (algorithm_.scheme == Scheme::kPss &&
        (EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PSS_PADDING) != 1 ||
         EVP_PKEY_CTX_set_rsa_pss_saltlen(keyCtx, RSA_PSS_SALTLEN_DIGEST) != 1 ||
         EVP_PKEY_CTX_set_rsa_mgf1_md(keyCtx, algorithm_.digest()) != 1)) {
      ERR_clear_error();
      return false;
    }
    const bool valid = EVP_DigestVerify(ctx.get(), checked->data(), checked->size(),
                                        reinterpret_cast<const unsigned char*>(message.data()),
                                        message.size()) == 1;
    ERR_clear_error();
    return valid;
  }

 private:
  const Algorithm& algorithm_;
  EvpPkeyHandle key_;
};

std::unique_ptr<const SignatureVerifier> CreateVerifier(const std::string& name, EvpPkeyHandle key,
                                                        bool proofsOnly) {
  for (const Algorithm& algorithm : kAlgorithms) {
    if (name != algorithm.name || (proofsOnly && !algorithm.proofs)) continue;
    if (!key || !KeySuits(algorithm, key.get())) return nullptr;
    return std::make_unique<OpenSslVerifier>(algorithm, std::move(key));
  }
  return nullptr;
}

// Bytes of key encodings kept with their decoded keys: a few thousand keys.
constexpr size_t kDecodedKeyBytes = 1 << 20;

class OpenSslVerifierFactory final : public SignatureVerifierFactory {
 public:
  std::unique_ptr<const SignatureVerifier> Create(
      const std::string& name, const std::vector<uint8_t>& publicKey) const override {
    EvpPkeyHandle key = Decode(publicKey);
    if (!key) return nullptr;
    return CreateVerifier(name, std::move(key), /*proofsOnly=*/true);
  }

 private:
  using SharedKey = std::shared_ptr<EVP_PKEY>;

  // OpenSSL 3 spends most of a proof's cost finding the decoder for a key's DER, so each exact
  // encoding is decoded once; the algorithm's checks still run on every call.
  EvpPkeyHandle Decode(const std::vector<uint8_t>& der) const {
    const std::string_view text(reinterpret_cast<const char*>(der.data()), der.size());
    if (auto known = decoded_.Find(text)) return Share(**known);
    const unsigned char* in = der.data();
    EvpPkeyHandle key(d2i_PUBKEY(nullptr, &in, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!key || in != der.data() + der.size()) return nullptr;
    decoded_.Insert(text, SharedKey(Share(*key).release(), EVP_PKEY_free));
    return key;
  }

  static EvpPkeyHandle Share(EVP_PKEY& key) {
    EVP_PKEY_up_ref(&key);
    return EvpPkeyHandle(&key);
  }

  mutable Basalt::RecentCache<SharedKey> decoded_{kDecodedKeyBytes};
};

}  // namespace

std::unique_ptr<const SignatureVerifier> CreateOpenSslSignatureVerifier(
    const std::string& algorithm, Basalt::Crypto::EvpPkeyHandle key) {
  return CreateVerifier(algorithm, std::move(key), /*proofsOnly=*/false);
}

SignatureVerifierFactoryPtr CreateOpenSslSignatureVerifierFactory() {
  return std::make_shared<const OpenSslVerifierFactory>();
}

}  // namespace Orbi::Security
