// Process-wide set-up of xmlsec (OpenSSL backend) and capture of its error reports.
//
// xmlsec, its OpenSSL backend and libxslt are loaded at the first verification, not at start: they
// keep about 400 kB resident in every process that maps them, and a daemon that never sees an XML
// signature has no use for them. Once loaded they stay for the life of the process (xmlsec
// installs callbacks into libxml2).
#pragma once

#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>
#include <xmlsec/keys.h>
#include <xmlsec/openssl/app.h>
#include <xmlsec/openssl/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>

#include <string>

namespace Basalt::Xml::Security {

// Every xmlsec function this layer calls; each becomes a member of XmlSecFunctions of the same
// name, bound when the library is loaded.
#define BASALT_XMLSEC_FUNCTIONS(X)             \
  X(xmlSecInit)                                \
  X(xmlSecCheckVersionExt)                     \
  X(xmlSecErrorsSetCallback)                   \
  X(xmlSecOpenSSLAppInit)                      \
  X(xmlSecOpenSSLInit)                         \
  X(xmlSecDSigCtxCreate)                       \
  X(xmlSecDSigCtxDestroy)                      \
  X(xmlSecDSigCtxEnableReferenceTransform)     \
  X(xmlSecDSigCtxEnableSignatureTransform)     \
  X(xmlSecDSigCtxVerify)                       \
  X(xmlSecKeyCreate)                           \
  X(xmlSecKeyDestroy)                          \
  X(xmlSecKeySetValue)                         \
  X(xmlSecKeyDataDestroy)                      \
  X(xmlSecOpenSSLEvpKeyAdopt)                  \
  X(xmlSecTransformExclC14NGetKlass)           \
  X(xmlSecTransformInclC14NGetKlass)           \
  X(xmlSecTransformEnvelopedGetKlass)          \
  X(xmlSecOpenSSLTransformRsaSha256GetKlass)   \
  X(xmlSecOpenSSLTransformRsaSha384GetKlass)   \
  X(xmlSecOpenSSLTransformRsaSha512GetKlass)   \
  X(xmlSecOpenSSLTransformEcdsaSha256GetKlass) \
  X(xmlSecOpenSSLTransformEcdsaSha384GetKlass) \
  X(xmlSecOpenSSLTransformEcdsaSha512GetKlass) \
  X(xmlSecOpenSSLTransformSha256GetKlass)      \
  X(xmlSecOpenSSLTransformSha384GetKlass)      \
  X(xmlSecOpenSSLTransformSha512GetKlass)

struct XmlSecFunctions {
#define BASALT_XMLSEC_MEMBER(name) decltype(&::name) name = nullptr;
  BASALT_XMLSEC_FUNCTIONS(BASALT_XMLSEC_MEMBER)
#undef BASALT_XMLSEC_MEMBER
};

// The loaded and initialised library. The first call loads and initialises libxml2, xmlsec and
// its OpenSSL backend; safe to call from any thread. Throws XmlSecurityException when the library
// cannot be loaded or initialised (and tries again at the next call).
const XmlSecFunctions& XmlSec();

// Same as XmlSec(), for callers that need only the initialisation.
void EnsureXmlSecInitialized();

// Returns and clears what xmlsec reported on the calling thread since the last call.
std::string TakeXmlSecErrors();

}  // namespace Basalt::Xml::Security
