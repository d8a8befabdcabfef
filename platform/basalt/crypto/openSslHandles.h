// Owning handles of OpenSSL objects: one deleter per object type, used by every caller.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace Basalt::Crypto {

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct EvpMdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct EvpMdDeleter {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct EcdsaSigDeleter {
  void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
struct BignumDeleter {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};

using X509Handle = std::unique_ptr<X509, X509Deleter>;
using BioHandle = std::unique_ptr<BIO, BioDeleter>;
using EvpPkeyHandle = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using EvpMdCtxHandle = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;
using EvpMdHandle = std::unique_ptr<EVP_MD, EvpMdDeleter>;
using EcdsaSigHandle = std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter>;
using BignumHandle = std::unique_ptr<BIGNUM, BignumDeleter>;

}  // namespace Basalt::Crypto
