// The algorithms a signature may name, and the xmlsec transforms that implement them.
#pragma once

#include <xmlsec/xmlsec.h>

#include <xmlsec/transforms.h>

#include <openssl/evp.h>

#include <string_view>

namespace Basalt::Xml::Security {

inline constexpr std::string_view kDsigNamespace = "http://www.w3.org/2000/09/xmldsig#";

enum class AlgorithmRole { kCanonicalization, kSignature, kDigest, kReferenceTransform };

struct Algorithm {
  std::string_view uri;
  AlgorithmRole role;
  xmlSecTransformId (*transform)();
  int keyType;  // EVP_PKEY_* for signature methods, 0 otherwise.
};

// The accepted algorithm named `uri` in `role`, or nullptr.
const Algorithm* FindAlgorithm(std::string_view uri, AlgorithmRole role);

// Every accepted algorithm, for enabling them in an xmlsec context.
const Algorithm* AlgorithmsBegin();
const Algorithm* AlgorithmsEnd();

}  // namespace Basalt::Xml::Security
