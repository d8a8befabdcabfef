#include "platform/basalt/crypto/certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/crypto/openSslError.h"
#include "platform/basalt/exception.h"

namespace Basalt::Crypto {
namespace {

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, length > 0 ? static_cast<size_t>(length) : 0);
}

}  // namespace

Certificate::Certificate(X509Handle cert) : cert_(std::move(cert)) {}

std::vector<uint8_t> Certificate::GetDer() const {
  const int length = i2d_X509(cert_.get(), nullptr);
  if (length <= 0) throw Exception(TakeOpenSslErrors("Cannot encode certificate"));
  std::vector<uint8_t> der(length);
  uint8_t* out = der.data();
  i2d_X509(cert_.get(), &out);
  return der;
}

std::string Certificate::GetPem() const {
  BioHandle bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert_.get()) != 1) {
    throw Exception(TakeOpenSslErrors("Cannot encode certificate"));
  }
  return BioText(bio.get());
}

std::vector<uint8_t> Certificate::GetPublicKeyDer() const {
  const X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(cert_.get());
  const int length = i2d_X509_PUBKEY(publicKey, nullptr);
  if (length <= 0) throw Exception(TakeOpenSslErrors("Cannot encode public key"));
  std::vector<uint8_t> der(length);
  uint8_t* out = der.data();
  i2d_X509_PUBKEY(publicKey, &out);
  return der;
}

std::string Certificate::GetPublicKeyBase64() const {
  const std::vector<uint8_t> der = GetPublicKeyDer();
  return EncodeBase64(der, Base64Alphabet::kStandard);
}

EvpPkeyHandle Certificate::GetPublicKey() const {
  EvpPkeyHandle key(X509_get_pubkey(cert_.get()));
  if (!key) throw Exception(TakeOpenSslErrors("Cannot read the certificate's public key"));
  return key;
}

std::string Certificate::GetSubjectName() const {
  BioHandle bio(BIO_new(BIO_s_mem()));
  if (!bio) throw Exception(TakeOpenSslErrors("Out of memory"));
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert_.get()), 0, XN_FLAG_RFC2253);
  return BioText(bio.get());
}

CertificatePtr CreateCertificate(const uint8_t* der, size_t length) {
  ERR_clear_error();
  if (length > LONG_MAX) throw Exception("Certificate too large");
  const uint8_t* in = der;
  X509Handle cert(d2i_X509(nullptr, &in, static_cast<long>(length)));
  if (!cert) throw Exception(TakeOpenSslErrors("Cannot decode DER certificate"));
  return std::make_shared<const Certificate>(std::move(cert));
}

CertificatePtr CreatePEMCertificate(const char* text, size_t length) {
  ERR_clear_error();
  if (length > INT_MAX) throw Exception("Certificate too large");
  BioHandle bio(BIO_new_mem_buf(text, static_cast<int>(length)));
  if (!bio) throw Exception(TakeOpenSslErrors("Out of memory"));
  X509Handle cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) throw Exception(TakeOpenSslErrors("Cannot read PEM certificate"));
  return std::make_shared<const Certificate>(std::move(cert));
}

}  // namespace Basalt::Crypto
