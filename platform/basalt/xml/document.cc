#include "platform/basalt/xml/document.h"

#include "platform/basalt/xml/parser.h"

namespace Basalt::Xml {
namespace {

std::string ToString(const xmlChar* text) {
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

const xmlChar* ToXml(const std::string& text) {
  return reinterpret_cast<const xmlChar*>(text.c_str());
}

std::optional<std::string> TakeValue(xmlChar* value) {
  XmlCharHandle owned(value, {&KeptLibXml()});
  if (!owned) return std::nullopt;
  return ToString(owned.get());
}

}  // namespace

std::string QName::ToString() const {
  return namespaceUri.empty() ? localName : namespaceUri + ":" + localName;
}

Document::Document(XmlDocHandle doc, std::unordered_map<const xmlNode*, int> columns)
    : doc_(std::move(doc)), columns_(std::move(columns)) {}

Node Document::GetDocumentElement() {
  return Node(shared_from_this(), KeptLibXml().xmlDocGetRootElement(doc_.get()));
}

int Document::GetColumn(const xmlNode* element) const {
  const auto it = columns_.find(element);
  return it == columns_.end() ? 0 : it->second;
}

Node::Node(std::shared_ptr<Document> doc, xmlNode* node) : doc_(std::move(doc)), node_(node) {
  if (!node_) doc_.reset();
}

bool Node::IsElement() const { return node_ && node_->type == XML_ELEMENT_NODE; }
bool Node::IsText() const { return node_ && node_->type == XML_TEXT_NODE; }
bool Node::IsComment() const { return node_ && node_->type == XML_COMMENT_NODE; }

std::string Node::GetLocalName() const { return IsElement() ? ToString(node_->name) : ""; }

std::string Node::GetPrefix() const {
  return IsElement() && node_->ns ? ToString(node_->ns->prefix) : "";
}

std::optional<std::string> Node::LookupNamespace(std::string_view prefix) const {
  if (!node_) return std::nullopt;
  const std::string key(prefix);
  const xmlNs* ns = KeptLibXml().xmlSearchNs(node_->doc, node_, key.empty() ? nullptr : ToXml(key));
  if (!ns || !ns->href) return std::nullopt;
  return ToString(ns->href);
}

std::map<std::string, std::string> Node::GetAttributes() const {
  std::map<std::string, std::string> attributes;
  if (!IsElement()) return attributes;
  for (const xmlNs* ns = node_->nsDef; ns; ns = ns->next) {
    attributes[ns->prefix ? "xmlns:" + ToString(ns->prefix) : "xmlns"] = ToString(ns->href);
  }
  for (xmlAttr* attr = node_->properties; attr; attr = attr->next) {
    std::string name = ToString(attr->name);
    if (attr->ns && attr->ns->prefix) name = ToString(attr->ns->prefix) + ":" + name;
    attributes[name] =
        TakeValue(KeptLibXml().xmlNodeGetContent(reinterpret_cast<xmlNode*>(attr))).value_or("");
  }
  return attributes;
}

std::optional<std::string> Node::GetAttribute(std::string_view name) const {
  if (!IsElement()) return std::nullopt;
  return TakeValue(KeptLibXml().xmlGetNoNsProp(node_, ToXml(std::string(name))));
}

std::optional<std::string> Node::GetAttribute(const QName& name) const {
  if (name.namespaceUri.empty()) return GetAttribute(name.localName);
  if (!IsElement()) return std::nullopt;
  return TakeValue(
      KeptLibXml().xmlGetNsProp(node_, ToXml(name.localName), ToXml(name.namespaceUri)));
}

std::string Node::GetText() const {
  return node_ && (IsText() || IsComment()) ? ToString(node_->content) : "";
}

long Node::GetLine() const { return node_ ? KeptLibXml().xmlGetLineNo(node_) : 0; }

int Node::GetColumn() const { return node_ ? doc_->GetColumn(node_) : 0; }

Node Node::GetFirstChild() const { return node_ ? Node(doc_, node_->children) : Node(); }

Node Node::GetNextSibling() const { return node_ ? Node(doc_, node_->next) : Node(); }

}  // namespace Basalt::Xml
