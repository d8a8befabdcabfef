#include "platform/basalt/xml/signatureProfile.h"

#include <xmlsec/xmlsec.h>

#include <xmlsec/openssl/crypto.h>

#include <iterator>

namespace Basalt::Xml::Security {
namespace {

using Role = AlgorithmRole;

xmlSecTransformId ExclC14N() { return xmlSecTransformExclC14NId; }
xmlSecTransformId InclC14N() { return xmlSecTransformInclC14NId; }
xmlSecTransformId Enveloped() { return xmlSecTransformEnvelopedId; }
xmlSecTransformId RsaSha256() { return xmlSecOpenSSLTransformRsaSha256Id; }
xmlSecTransformId RsaSha384() { return xmlSecOpenSSLTransformRsaSha384Id; }
xmlSecTransformId RsaSha512() { return xmlSecOpenSSLTransformRsaSha512Id; }
xmlSecTransformId EcdsaSha256() { return xmlSecOpenSSLTransformEcdsaSha256Id; }
xmlSecTransformId EcdsaSha384() { return xmlSecOpenSSLTransformEcdsaSha384Id; }
xmlSecTransformId EcdsaSha512() { return xmlSecOpenSSLTransformEcdsaSha512Id; }
xmlSecTransformId Sha256() { return xmlSecOpenSSLTransformSha256Id; }
xmlSecTransformId Sha384() { return xmlSecOpenSSLTransformSha384Id; }
xmlSecTransformId Sha512() { return xmlSecOpenSSLTransformSha512Id; }

constexpr std::string_view kExclC14N = "http://www.w3.org/2001/10/xml-exc-c14n#";
constexpr std::string_view kInclC14N = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";

const Algorithm kAlgorithms[] = {
    {kExclC14N, Role::kCanonicalization, ExclC14N, 0},
    {kInclC14N, Role::kCanonicalization, InclC14N, 0},
    {kExclC14N, Role::kReferenceTransform, ExclC14N, 0},
    {kInclC14N, Role::kReferenceTransform, InclC14N, 0},
    {"http://www.w3.org/2000/09/xmldsig#enveloped-signature", Role::kReferenceTransform, Enveloped,
     0},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", Role::kSignature, RsaSha256,
     EVP_PKEY_RSA},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384", Role::kSignature, RsaSha384,
     EVP_PKEY_RSA},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512", Role::kSignature, RsaSha512,
     EVP_PKEY_RSA},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256", Role::kSignature, EcdsaSha256,
     EVP_PKEY_EC},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha384", Role::kSignature, EcdsaSha384,
     EVP_PKEY_EC},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha512", Role::kSignature, EcdsaSha512,
     EVP_PKEY_EC},
    {"http://www.w3.org/2001/04/xmlenc#sha256", Role::kDigest, Sha256, 0},
    {"http://www.w3.org/2001/04/xmldsig-more#sha384", Role::kDigest, Sha384, 0},
    {"http://www.w3.org/2001/04/xmlenc#sha512", Role::kDigest, Sha512, 0},
};

}  // namespace

const Algorithm* FindAlgorithm(std::string_view uri, AlgorithmRole role) {
  for (const Algorithm& algorithm : kAlgorithms) {
    if (algorithm.uri == uri && algorithm.role == role) return &algorithm;
  }
  return nullptr;
}

const Algorithm* AlgorithmsBegin() { return std::begin(kAlgorithms); }
const Algorithm* AlgorithmsEnd() { return std::end(kAlgorithms); }

}  // namespace Basalt::Xml::Security
