#include "platform/basalt/xml/signatureProfile.h"

#include <xmlsec/xmlsec.h>

#include <xmlsec/openssl/crypto.h>

#include <iterator>

#include "platform/basalt/xml/xmlSecLibrary.h"

namespace Basalt::Xml::Security {
namespace {

using Role = AlgorithmRole;

xmlSecTransformId ExclC14N() { return XmlSec().xmlSecTransformExclC14NGetKlass(); }
xmlSecTransformId InclC14N() { return XmlSec().xmlSecTransformInclC14NGetKlass(); }
xmlSecTransformId Enveloped() { return XmlSec().xmlSecTransformEnvelopedGetKlass(); }
xmlSecTransformId RsaSha256() { return XmlSec().xmlSecOpenSSLTransformRsaSha256GetKlass(); }
xmlSecTransformId RsaSha384() { return XmlSec().xmlSecOpenSSLTransformRsaSha384GetKlass(); }
xmlSecTransformId RsaSha512() { return XmlSec().xmlSecOpenSSLTransformRsaSha512GetKlass(); }
xmlSecTransformId EcdsaSha256() { return XmlSec().xmlSecOpenSSLTransformEcdsaSha256GetKlass(); }
xmlSecTransformId EcdsaSha384() { return XmlSec().xmlSecOpenSSLTransformEcdsaSha384GetKlass(); }
xmlSecTransformId EcdsaSha512() { return XmlSec().xmlSecOpenSSLTransformEcdsaSha512GetKlass(); }
xmlSecTransformId Sha256() { return XmlSec().xmlSecOpenSSLTransformSha256GetKlass(); }
xmlSecTransformId Sha384() { return XmlSec().xmlSecOpenSSLTransformSha384GetKlass(); }
xmlSecTransformId Sha512() { return XmlSec().xmlSecOpenSSLTransformSha512GetKlass(); }

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
