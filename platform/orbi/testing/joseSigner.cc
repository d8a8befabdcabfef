#include "platform/orbi/testing/joseSigner.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "platform/basalt/crypto/base64.h"

namespace Orbi::Security::Testing {

using Basalt::Crypto::EvpPkeyHandle;

EvpPkeyHandle GenerateKey(const std::string& type) {
  EvpPkeyHandle key(type == "RSA" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                  : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", type.c_str()));
  if (!key) throw std::runtime_error("cannot generate a " + type + " key");
  return key;
}

EvpPkeyHandle ReadPrivateKeyPem(const std::string& path) {
  std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path.c_str(), "r"), &fclose);
  if (!file) throw std::runtime_error("cannot read " + path);
  EvpPkeyHandle key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key) throw std::runtime_error("no private key in " + path);
  return key;
}

std::string PublicKeyBase64(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  std::string text = Basalt::Crypto::EncodeBase64(std::span<const uint8_t>(der, length),
                                                  Basalt::Crypto::Base64Alphabet::kStandard);
  OPENSSL_free(der);
  return text;
}

std::string Sign(EVP_PKEY* key, const std::string& algorithm, const std::string& message,
                 bool ecdsaAsDer) {
  const EVP_MD* md = algorithm.ends_with("256")   ? EVP_sha256()
                     : algorithm.ends_with("384") ? EVP_sha384()
                                                  : EVP_sha512();
  Basalt::Crypto::EvpMdCtxHandle ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyCtx = nullptr;
  EVP_DigestSignInit(ctx.get(), &keyCtx, md, nullptr, key);
  if (algorithm.starts_with("PS")) {
    EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_rsa_pss_saltlen(keyCtx, RSA_PSS_SALTLEN_DIGEST);
  }
  size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  EVP_DigestSign(ctx.get(), nullptr, &length, data, message.size());
  std::vector<uint8_t> signature(length);
  if (EVP_DigestSign(ctx.get(), signature.data(), &length, data, message.size()) != 1) {
    throw std::runtime_error("signing failed");
  }
  signature.resize(length);
  if (algorithm.starts_with("ES") && !ecdsaAsDer) {
    const unsigned char* in = signature.data();
    Basalt::Crypto::EcdsaSigHandle sig(d2i_ECDSA_SIG(nullptr, &in, signature.size()));
    const int half = algorithm == "ES256" ? 32 : 48;
    std::vector<uint8_t> raw(2 * half);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), half);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + half, half);
    signature = raw;
  }
  return Basalt::Crypto::EncodeBase64(signature, Basalt::Crypto::Base64Alphabet::kStandard);
}

}  // namespace Orbi::Security::Testing
