// An enveloped XML signature over one element, checked against a narrow profile when it is built
// and verified on demand with keys from a KeyResolver only.
//
// Profile: ds:SignedInfo with exclusive or inclusive canonicalization (without comments), an RSA
// or ECDSA signature method with SHA-256/384/512, and exactly one ds:Reference whose URI is ""
// or "#" + an ID, with only the enveloped-signature and canonicalization transforms and a
// SHA-256/384/512 digest. SHA-1, XPath, XSLT, Base64 and remote references are refused.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/basalt/xml/document.h"
#include "platform/basalt/xml/keyResolver.h"
#include "platform/basalt/xml/securityExceptions.h"

namespace Basalt::Xml::Security {

struct Reference {
  std::string uri;  // As written; "" means the whole document.
  std::string digestMethod;
  std::vector<std::string> transforms;
};

class Signature {
 public:
  // Use CreateSignatureFromDom.
  Signature(Node signedElement, Node signatureElement, std::string signatureMethod,
            std::vector<Reference> references);

  const std::vector<Reference>& GetReferences() const { return references_; }
  const std::string& GetSignatureMethod() const { return signatureMethod_; }

  // True when the signature value verifies with one of the resolver's keys and every reference
  // digest matches; false otherwise. A reference that does not resolve to the signed element, or
  // a processing failure, raises XmlSecurityException.
  bool Verify(const KeyResolver& keys) const;

 private:
  Node signedElement_;
  Node signatureElement_;
  std::string signatureMethod_;
  std::vector<Reference> references_;
  // xmlsec registers ds:* Id attributes in the document while it verifies.
  mutable std::mutex verifyMutex_;
};

using SignaturePtr = std::shared_ptr<const Signature>;

// Builds the signature of `signedElement` from its child `signatureElement`, and registers the
// signed element's "ID" attribute as the document's only ID. Throws SignatureSyntaxException.
SignaturePtr CreateSignatureFromDom(const Node& signedElement, const Node& signatureElement);

}  // namespace Basalt::Xml::Security
