#include "lib/ssoclient/samlParser.h"

#include "lib/ssoclient/elementRules.h"
#include "lib/ssoclient/samlConstants.h"
#include "lib/ssoclient/ssoExceptions.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/xml/parser.h"

namespace SsoClient {
namespace {

using Basalt::Xml::Node;
using Basalt::Xml::QName;
using namespace Rules;

class AssertionReader {
 public:
  AssertionReader(ParsedAssertion& out, Basalt::Crypto::CertificateCache* certificates)
      : out_(out), certificates_(certificates) {}

  void Read(const Node& documentElement) {
    const ElementCursor root(documentElement, filter_);
    const Node assertion = ExpectElement(root, "Assertion", Saml::kAssertionNs);
    CheckAttributes(assertion, {"Version", "ID", "IssueInstant"}, {});
    out_.version = assertion.GetAttribute("Version").value_or("");
    out_.id = assertion.GetAttribute("ID").value_or("");
    out_.issueInstant = DateAttribute(assertion, "IssueInstant");

    ElementCursor children = root.Enter();
    out_.issuer = ReadNameId(ExpectElement(children, "Issuer", Saml::kAssertionNs));
    children.Advance();
    ReadSignature(assertion, children);
    children.Advance();
    ReadSubject(ExpectElement(children, "Subject", Saml::kAssertionNs));
    children.Advance();
    ReadConditions(ExpectElement(children, "Conditions", Saml::kAssertionNs));
    children.Advance();
    if (const Node advice = OptionalElement(children, "Advice")) {
      ReadAdvice(advice);
      children.Advance();
    }
    ReadAuthnStatement(ExpectElement(children, "AuthnStatement", Saml::kAssertionNs));
    children.Advance();
    if (children.HasNode()) {
      ReadAttributeStatement(ExpectElement(children, "AttributeStatement", Saml::kAssertionNs));
      children.Advance();
    }
    CheckEndOfSiblings(children, "Unexpected elements under Assertion");
  }

 private:
  NameIdValue ReadNameId(const Node& element) {
    CheckAttributes(element, {"Format"}, {});
    return NameIdValue{element.GetAttribute("Format").value_or(""), TextOnly(element, filter_)};
  }

  void ReadSignature(const Node& assertion, const ElementCursor& cursor) {
    const Node element = cursor.Current();
    if (!element) throw ParseException("Expected element ds:Signature not found");
    try {
      out_.signature = Basalt::Xml::Security::CreateSignatureFromDom(assertion, element);
    } catch (const Basalt::Xml::Security::SignatureSyntaxException& e) {
      throw ParseException("Signature syntax error: " + e.GetMessage());
    }
    bool covered = false;
    for (const auto& reference : out_.signature->GetReferences()) {
      covered = covered || reference.uri.empty() || reference.uri == "#" + out_.id;
    }
    if (!covered) throw ParseException("Token's signature must cover the entire token");
  }

  void ReadSubject(const Node& subject) {
    CheckNoAttributes(subject);
    ElementCursor children = ElementCursor(subject, filter_).Enter();
    out_.subjectNameId = ReadNameId(ExpectElement(children, "NameID", Saml::kAssertionNs));
    children.Advance();
    ReadSubjectConfirmation(ExpectElement(children, "SubjectConfirmation", Saml::kAssertionNs));
    children.Advance();
    CheckEndOfSiblings(children, "Unexpected elements after SubjectConfirmation");
  }

  void ReadSubjectConfirmation(const Node& confirmation) {
    CheckAttributes(confirmation, {"Method"}, {});
    const std::string method = confirmation.GetAttribute("Method").value_or("");
    if (method == Saml::kBearerMethod) {
      out_.confirmationType = CONFIRMATION_BEARER;
    } else if (method == Saml::kHolderOfKeyMethod) {
      out_.confirmationType = CONFIRMATION_HOLDER_OF_KEY;
    } else {
      throw ParseException("Unknown subject confirmation method: '" + method + "'");
    }
    ElementCursor children = ElementCursor(confirmation, filter_).Enter();
    if (const Node delegateId = OptionalElement(children, "NameID")) {
      out_.delegateId = ReadNameId(delegateId);
      children.Advance();
    }
    const Node data = ExpectElement(children, "SubjectConfirmationData", Saml::kAssertionNs);
    if (out_.confirmationType == CONFIRMATION_BEARER) {
      CheckAttributes(data, {"NotOnOrAfter"}, {});
      CheckEmpty(data, filter_);
      out_.subjectNotOnOrAfter = DateAttribute(data, "NotOnOrAfter");
    } else {
      ReadKeyInfoConfirmationData(data);
    }
    children.Advance();
    CheckEndOfSiblings(children, "Unexpected elements after SubjectConfirmationData");
  }

  void ReadKeyInfoConfirmationData(const Node& data) {
    CheckQualifiedAttributes(data, {kXsiType}, {QName{"", "NotOnOrAfter"}});
    // Kept unread: a token with a malformed value is refused only by a caller that checks it.
    out_.confirmationNotOnOrAfter = data.GetAttribute("NotOnOrAfter");
    const std::string type = data.GetAttribute(kXsiType).value_or("");
    if (ResolveQNameValue(data, type) !=
        QName{std::string(Saml::kAssertionNs), "KeyInfoConfirmationDataType"}) {
      throw ParseException("Invalid SubjectConfirmationData type: '" + type + "'");
    }
    ElementCursor dataChildren = ElementCursor(data, filter_).Enter();
    const Node keyInfo = ExpectElement(dataChildren, "KeyInfo", Saml::kDsigNs);
    CheckNoAttributes(keyInfo);
    ElementCursor keyInfoChildren = dataChildren.Enter();
    const Node x509Data = ExpectElement(keyInfoChildren, "X509Data", Saml::kDsigNs);
    CheckNoAttributes(x509Data);
    ElementCursor x509Children = keyInfoChildren.Enter();
    const Node certificate = ExpectElement(x509Children, "X509Certificate", Saml::kDsigNs);
    CheckNoAttributes(certificate);
    const std::optional<std::string> der = Basalt::Crypto::DecodeBase64(
        TextOnly(certificate, filter_), Basalt::Crypto::Base64Alphabet::kStandard);
    if (!der) throw Basalt::Exception("X509Certificate is not Base64");
    const auto* derBytes = reinterpret_cast<const uint8_t*>(der->data());
    out_.confirmationCertificate = certificates_
                                       ? certificates_->Decode(derBytes, der->size())
                                       : Basalt::Crypto::CreateCertificate(derBytes, der->size());
    x509Children.Advance();
    CheckEndOfSiblings(x509Children, "Unexpected elements after X509Certificate");
    keyInfoChildren.Advance();
    CheckEndOfSiblings(keyInfoChildren, "Unexpected elements after X509Data");
    dataChildren.Advance();
    CheckEndOfSiblings(dataChildren, "Unexpected elements after SubjectConfirmationData/KeyInfo");
  }

  void ReadConditions(const Node& conditions) {
    CheckAttributes(conditions, {"NotBefore", "NotOnOrAfter"}, {});
    out_.conditions.notBefore = DateAttribute(conditions, "NotBefore");
    out_.conditions.notOnOrAfter = DateAttribute(conditions, "NotOnOrAfter");
    ParseConditionChildren(ElementCursor(conditions, filter_).Enter(), filter_, out_.conditions);
  }

  void ReadAdvice(const Node& advice) {
    CheckNoAttributes(advice);
    std::vector<Advice> list;
    ElementCursor children = ElementCursor(advice, filter_).Enter();
    do {
      const Node rsaAdvice = ExpectElement(children, "RSAAdvice", Saml::kExtensionNs);
      CheckAttributes(rsaAdvice, {"AdviceSource"}, {});
      Advice entry{rsaAdvice.GetAttribute("AdviceSource").value_or(""), {}};
      for (const ParsedAttribute& attribute : ReadAttributes(children.Enter())) {
        entry.attributes.push_back(AdviceAttribute{attribute.name, attribute.values});
      }
      list.push_back(std::move(entry));
      children.Advance();
    } while (children.HasNode());
    out_.advice = std::move(list);
  }

  void ReadAuthnStatement(const Node& statement) {
    CheckAttributes(statement, {"AuthnInstant"}, {});
    out_.authnInstant = DateAttribute(statement, "AuthnInstant");
    ElementCursor children = ElementCursor(statement, filter_).Enter();
    const Node context = ExpectElement(children, "AuthnContext", Saml::kAssertionNs);
    CheckNoAttributes(context);
    ElementCursor contextChildren = children.Enter();
    out_.authnContextClassRef = TextOnly(
        ExpectElement(contextChildren, "AuthnContextClassRef", Saml::kAssertionNs), filter_);
    contextChildren.Advance();
    CheckEndOfSiblings(contextChildren, "Unexpected elements after AuthnContextClassRef");
    children.Advance();
    CheckEndOfSiblings(children, "Unexpected elements after AuthnContext");
  }

  void ReadAttributeStatement(const Node& statement) {
    CheckNoAttributes(statement);
    out_.attributes = ReadAttributes(ElementCursor(statement, filter_).Enter());
  }

  // One or more saml:Attribute elements, up to the end of the siblings.
  std::vector<ParsedAttribute> ReadAttributes(ElementCursor children) {
    std::vector<ParsedAttribute> attributes;
    do {
      const Node element = ExpectElement(children, "Attribute", Saml::kAssertionNs);
      CheckAttributes(element, {"Name", "NameFormat"}, {"FriendlyName"});
      ParsedAttribute attribute{element.GetAttribute("Name").value_or(""),
                                element.GetAttribute("NameFormat").value_or(""),
                                element.GetAttribute("FriendlyName").value_or(""),
                                {}};
      for (ElementCursor values = children.Enter(); values.HasNode(); values.Advance()) {
        attribute.values.push_back(
            TextOnly(ExpectElement(values, "AttributeValue", Saml::kAssertionNs), filter_));
      }
      attributes.push_back(std::move(attribute));
      children.Advance();
    } while (children.HasNode());
    return attributes;
  }

  ParsedAssertion& out_;
  Basalt::Crypto::CertificateCache* certificates_;
  SkipWsAndCommentsFilter filter_;
};

}  // namespace

ParsedAssertion ParseAssertion(const std::string& xml,
                               Basalt::Crypto::CertificateCache* certificates) {
  auto handler = Basalt::Xml::CreateXMLDocumentHandler();
  auto reader = Basalt::CreateStringReader(xml);
  Basalt::Xml::CreateXMLParser(handler)->Parse(*reader);
  ParsedAssertion parsed;
  AssertionReader(parsed, certificates).Read(handler->GetDocumentElement());
  return parsed;
}

}  // namespace SsoClient
