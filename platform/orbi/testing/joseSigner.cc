#include "platform/orbi/testing/joseSigner.h"

#include <openssl/x509.h>

#include <stdexcept>

#include "platform/basalt/crypto/base64.h"

namespace Orbi::Security::Testing {

using Basalt::Crypto::EvpPkeyHandle;

EvpPkeyHandle GenerateKey(const std::string& type) {
  EvpPkeyHandle key(type == "RSA" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                  : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", type.c_str()));
  if (!key) throw std::runtime_error("cannot generate a " + type + " key");
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

}  // namespace Orbi::Security::Testing
