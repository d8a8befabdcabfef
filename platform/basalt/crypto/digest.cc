#include "platform/basalt/crypto/digest.h"

#include <openssl/sha.h>

#include "platform/basalt/crypto/openSslHandles.h"

namespace Basalt::Crypto {

namespace {

// Fetched once: SHA256() fetches the method again on every call, through OpenSSL's locked method
// store, which cost about as much as hashing a token.
const EVP_MD* Sha256Method() {
  static const EvpMdHandle method(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return method.get();
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  const EVP_MD* method = Sha256Method();
  if (!method || EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, method, nullptr) != 1) {
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(2 * sizeof digest, '\0');
  for (size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace Basalt::Crypto
