#include "platform/basalt/xml/signature.h"

#include <xmlsec/xmlsec.h>

#include <libxml/valid.h>
#include <xmlsec/keys.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmldsig.h>

#include <strings.h>

#include <optional>

#include "platform/basalt/xml/signatureProfile.h"
#include "platform/basalt/xml/silencedGenericErrors.h"
#include "platform/basalt/xml/xmlSecLibrary.h"

namespace Basalt::Xml::Security {
namespace {

struct DSigCtxDeleter {
  void operator()(xmlSecDSigCtx* ctx) const { XmlSec().xmlSecDSigCtxDestroy(ctx); }
};
using DSigCtxHandle = std::unique_ptr<xmlSecDSigCtx, DSigCtxDeleter>;

struct KeyDeleter {
  void operator()(xmlSecKey* key) const { XmlSec().xmlSecKeyDestroy(key); }
};
using KeyHandle = std::unique_ptr<xmlSecKey, KeyDeleter>;

struct KeyDataDeleter {
  void operator()(xmlSecKeyData* data) const { XmlSec().xmlSecKeyDataDestroy(data); }
};
using KeyDataHandle = std::unique_ptr<xmlSecKeyData, KeyDataDeleter>;

const xmlChar* ToXml(const std::string& text) {
  return reinterpret_cast<const xmlChar*>(text.c_str());
}

// Walks the element children of a ds:* element; only whitespace and comments may lie between.
class DsigChildren {
 public:
  explicit DsigChildren(const Node& parent) : name_(parent.GetLocalName()) {
    Advance(parent.GetFirstChild());
  }

  bool Is(std::string_view localName) const {
    return current_ && current_.GetLocalName() == localName &&
           current_.LookupNamespace(current_.GetPrefix()) == std::string(kDsigNamespace);
  }
  Node Take(std::string_view localName) {
    if (!Is(localName)) {
      throw SignatureSyntaxException("Expected ds:" + std::string(localName) + " in ds:" + name_);
    }
    Node taken = current_;
    Advance(current_.GetNextSibling());
    return taken;
  }
  void ExpectEnd() const {
    if (current_) {
      throw SignatureSyntaxException("Unexpected element '" + current_.GetLocalName() +
                                     "' in ds:" + name_);
    }
  }

 private:
  void Advance(Node node) {
    for (; node; node = node.GetNextSibling()) {
      if (node.IsElement()) break;
      if (node.IsComment()) continue;
      if (!node.IsText() || node.GetText().find_first_not_of(" \t\r\n") != std::string::npos) {
        throw SignatureSyntaxException("Unexpected content in ds:" + name_);
      }
    }
    current_ = node;
  }

  std::string name_;
  Node current_;
};

std::string AlgorithmOf(const Node& element, AlgorithmRole role) {
  const std::optional<std::string> uri = element.GetAttribute("Algorithm");
  if (!uri) {
    throw SignatureSyntaxException("ds:" + element.GetLocalName() + " has no Algorithm");
  }
  if (!FindAlgorithm(*uri, role)) {
    throw SignatureSyntaxException("Unsupported algorithm '" + *uri +
                                   "' in ds:" + element.GetLocalName());
  }
  return *uri;
}

Reference ReadReference(const Node& element) {
  Reference reference;
  const std::optional<std::string> uri = element.GetAttribute("URI");
  if (!uri) throw SignatureSyntaxException("ds:Reference has no URI");
  if (!uri->empty() && ((*uri)[0] != '#' || uri->find_first_of("()/ ", 1) != std::string::npos)) {
    throw SignatureSyntaxException("Only same-document ID references are accepted: '" + *uri + "'");
  }
  reference.uri = *uri;
  DsigChildren children(element);
  if (children.Is("Transforms")) {
    DsigChildren transforms(children.Take("Transforms"));
    do {
      reference.transforms.push_back(
          AlgorithmOf(transforms.Take("Transform"), AlgorithmRole::kReferenceTransform));
    } while (transforms.Is("Transform"));
    transforms.ExpectEnd();
  }
  reference.digestMethod = AlgorithmOf(children.Take("DigestMethod"), AlgorithmRole::kDigest);
  children.Take("DigestValue");
  children.ExpectEnd();
  return reference;
}

bool IsIdAttributeName(const xmlAttr* attr) {
  return strcasecmp(reinterpret_cast<const char*>(attr->name), "id") == 0;
}

// Refuses a second attribute that could name the same element as `idAttr`.
void CheckIdIsUnique(xmlNode* node, const xmlAttr* idAttr, const std::string& id) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (xmlAttr* attr = node->properties; attr; attr = attr->next) {
      if (attr == idAttr || !IsIdAttributeName(attr)) continue;
      xmlChar* value = KeptLibXml().xmlNodeGetContent(reinterpret_cast<xmlNode*>(attr));
      const bool same = value && id == reinterpret_cast<const char*>(value);
      KeptLibXml().Free(value);
      if (same) throw SignatureSyntaxException("Duplicate ID '" + id + "'");
    }
    CheckIdIsUnique(node->children, idAttr, id);
  }
}

void RegisterId(const Node& signedElement) {
  const std::optional<std::string> id = signedElement.GetAttribute("ID");
  // An empty ID names nothing (libxml2 refuses to register it); the caller judges the ID itself.
  if (!id || id->empty()) return;
  xmlNode* element = signedElement.GetNative();
  xmlAttr* idAttr = KeptLibXml().xmlHasNsProp(element, ToXml("ID"), nullptr);
  CheckIdIsUnique(KeptLibXml().xmlDocGetRootElement(element->doc), idAttr, *id);
  xmlAttr* registered = KeptLibXml().xmlGetID(element->doc, ToXml(*id));
  if (registered == idAttr) return;
  if (registered || !KeptLibXml().xmlAddID(nullptr, element->doc, ToXml(*id), idAttr)) {
    throw SignatureSyntaxException("Duplicate ID '" + *id + "'");
  }
}

bool ResolvesTo(const Reference& reference, const xmlNode* signedNode) {
  if (reference.uri.empty())
    return KeptLibXml().xmlDocGetRootElement(signedNode->doc) == signedNode;
  const xmlAttr* attr = KeptLibXml().xmlGetID(signedNode->doc, ToXml(reference.uri.substr(1)));
  return attr && attr->parent == signedNode;
}

DSigCtxHandle CreateVerifyContext(Crypto::EvpPkeyHandle publicKey) {
  DSigCtxHandle ctx(XmlSec().xmlSecDSigCtxCreate(nullptr));
  if (!ctx) throw XmlSecurityException("Cannot create a signature context");
  ctx->enabledReferenceUris = xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument;
  for (const Algorithm* a = AlgorithmsBegin(); a != AlgorithmsEnd(); ++a) {
    const bool inReference =
        a->role == AlgorithmRole::kDigest || a->role == AlgorithmRole::kReferenceTransform;
    const int result =
        inReference ? XmlSec().xmlSecDSigCtxEnableReferenceTransform(ctx.get(), a->transform())
                    : XmlSec().xmlSecDSigCtxEnableSignatureTransform(ctx.get(), a->transform());
    if (result < 0) throw XmlSecurityException("Cannot configure the signature context");
  }
  // The key is fixed before processing, so xmlsec never consults the document's ds:KeyInfo.
  KeyDataHandle data(XmlSec().xmlSecOpenSSLEvpKeyAdopt(publicKey.get()));
  if (!data) throw XmlSecurityException("Cannot use a trusted key: " + TakeXmlSecErrors());
  static_cast<void>(publicKey.release());  // the key data owns it now
  KeyHandle key(XmlSec().xmlSecKeyCreate());
  if (!key || XmlSec().xmlSecKeySetValue(key.get(), data.get()) < 0) {
    throw XmlSecurityException("Cannot use a trusted key: " + TakeXmlSecErrors());
  }
  static_cast<void>(data.release());  // the key owns it now
  ctx->signKey = key.release();
  return ctx;
}

}  // namespace

Signature::Signature(Node signedElement, Node signatureElement, std::string signatureMethod,
                     std::vector<Reference> references)
    : signedElement_(std::move(signedElement)),
      signatureElement_(std::move(signatureElement)),
      signatureMethod_(std::move(signatureMethod)),
      references_(std::move(references)) {}

bool Signature::Verify(const KeyResolver& keys) const {
  EnsureXmlSecInitialized();
  const int keyType = FindAlgorithm(signatureMethod_, AlgorithmRole::kSignature)->keyType;

  // Also guards the document's ID table, which xmlsec changes while it verifies.
  std::lock_guard<std::mutex> lock(verifyMutex_);
  for (const Reference& reference : references_) {
    if (!ResolvesTo(reference, signedElement_.GetNative())) {
      throw XmlSecurityException("Reference '" + reference.uri +
                                 "' does not resolve to the signed element");
    }
  }
  const SilencedGenericErrors silenced;
  TakeXmlSecErrors();
  bool completedAny = false;
  std::optional<std::string> error;
  for (Crypto::EvpPkeyHandle& key : keys.GetCandidateKeys()) {
    if (EVP_PKEY_base_id(key.get()) != keyType) continue;
    DSigCtxHandle ctx = CreateVerifyContext(std::move(key));
    // A key of another size or curve can fail as an error rather than a mismatch.
    if (XmlSec().xmlSecDSigCtxVerify(ctx.get(), signatureElement_.GetNative()) < 0) {
      error = TakeXmlSecErrors();
      continue;
    }
    completedAny = true;
    if (ctx->status == xmlSecDSigStatusSucceeded) return true;
  }
  if (!completedAny && error) {
    throw XmlSecurityException(error->empty() ? "XML signature processing failed" : *error);
  }
  return false;
}

SignaturePtr CreateSignatureFromDom(const Node& signedElement, const Node& signatureElement) {
  if (!signedElement.IsElement() || !signatureElement.IsElement() ||
      signatureElement.GetNative()->parent != signedElement.GetNative()) {
    throw SignatureSyntaxException("The signature must be a child of the signed element");
  }
  if (signatureElement.GetLocalName() != "Signature" ||
      signatureElement.LookupNamespace(signatureElement.GetPrefix()) !=
          std::string(kDsigNamespace)) {
    throw SignatureSyntaxException("Element '" + signatureElement.GetLocalName() +
                                   "' is not a ds:Signature");
  }
  DsigChildren children(signatureElement);
  DsigChildren signedInfo(children.Take("SignedInfo"));
  children.Take("SignatureValue");
  if (children.Is("KeyInfo")) children.Take("KeyInfo");
  children.ExpectEnd();

  AlgorithmOf(signedInfo.Take("CanonicalizationMethod"), AlgorithmRole::kCanonicalization);
  std::string signatureMethod =
      AlgorithmOf(signedInfo.Take("SignatureMethod"), AlgorithmRole::kSignature);
  std::vector<Reference> references{ReadReference(signedInfo.Take("Reference"))};
  if (signedInfo.Is("Reference")) {
    throw SignatureSyntaxException("Exactly one ds:Reference is accepted");
  }
  signedInfo.ExpectEnd();

  RegisterId(signedElement);
  return std::make_shared<Signature>(signedElement, signatureElement, std::move(signatureMethod),
                                     std::move(references));
}

}  // namespace Basalt::Xml::Security
