#include "platform/orbi/joseSigner.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/basalt/crypto/base64.h"

namespace Orbi::Security {
namespace {

using Basalt::Crypto::EvpPkeyHandle;

std::string CurveName(EVP_PKEY* key) {
  char name[64] = "";
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &length) !=
      1) {
    return "";
  }
  return std::string(name, length);
}

}  // namespace

EvpPkeyHandle ReadPrivateKeyPem(const std::string& path) {
  std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path.c_str(), "r"), &fclose);
  if (!file) throw std::runtime_error(path + ": cannot be read");
  EvpPkeyHandle key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key) throw std::runtime_error(path + ": holds no unencrypted PEM private key");
  return key;
}

bool KeyFitsAlgorithm(EVP_PKEY* key, const std::string& algorithm) {
  if (algorithm == "RS256" || algorithm == "RS384" || algorithm == "RS512" ||
      algorithm == "PS256") {
    return EVP_PKEY_is_a(key, "RSA") == 1 && EVP_PKEY_get_bits(key) >= 2048;
  }
  if (algorithm == "ES256") return EVP_PKEY_is_a(key, "EC") == 1 && CurveName(key) == "prime256v1";
  if (algorithm == "ES384") return EVP_PKEY_is_a(key, "EC") == 1 && CurveName(key) == "secp384r1";
  return false;
}

std::string SignBase64(EVP_PKEY* key, const std::string& algorithm, const std::string& message,
                       bool ecdsaAsDer) {
  const EVP_MD* md = algorithm.ends_with("256")   ? EVP_sha256()
                     : algorithm.ends_with("384") ? EVP_sha384()
                                                  : EVP_sha512();
  Basalt::Crypto::EvpMdCtxHandle ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyCtx = nullptr;
  if (!ctx || EVP_DigestSignInit(ctx.get(), &keyCtx, md, nullptr, key) != 1 ||
      (algorithm.starts_with("PS") &&
       (EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PSS_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(keyCtx, RSA_PSS_SALTLEN_DIGEST) != 1))) {
    throw std::runtime_error("cannot set up an " + algorithm + " signature");
  }
  size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  std::vector<uint8_t> signature;
  if (EVP_DigestSign(ctx.get(), nullptr, &length, data, message.size()) == 1) {
    signature.resize(length);
  }
  if (signature.empty() ||
      EVP_DigestSign(ctx.get(), signature.data(), &length, data, message.size()) != 1) {
    throw std::runtime_error(algorithm + " signing failed");
  }
  signature.resize(length);
  if (algorithm.starts_with("ES") && !ecdsaAsDer) {
    const unsigned char* in = signature.data();
    Basalt::Crypto::EcdsaSigHandle sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)));
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;  // the curve order's size
    std::vector<uint8_t> raw(2 * half);
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), half) != half ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + half, half) != half) {
      throw std::runtime_error(algorithm + " signature has no r || s form");
    }
    signature = std::move(raw);
  }
  return Basalt::Crypto::EncodeBase64(signature, Basalt::Crypto::Base64Alphabet::kStandard);
}

}  // namespace Orbi::Security
