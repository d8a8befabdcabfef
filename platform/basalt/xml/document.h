// A parsed XML document and read-only handles on its nodes (namespace-aware, with positions).
#pragma once

#include <libxml/tree.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/basalt/xmlHandles.h"

namespace Basalt::Xml {

// A namespace URI and a local name; an empty URI means "no namespace".
struct QName {
  std::string namespaceUri;
  std::string localName;

  // "uri:local", or "local" without a namespace.
  std::string ToString() const;
  bool operator==(const QName&) const = default;
};

class Node;

class Document : public std::enable_shared_from_this<Document> {
 public:
  // `columns` maps each element to the column at which the parser finished its start tag.
  Document(XmlDocHandle doc, std::unordered_map<const xmlNode*, int> columns);

  Node GetDocumentElement();
  int GetColumn(const xmlNode* element) const;
  xmlDoc* GetNative() const { return doc_.get(); }

 private:
  XmlDocHandle doc_;
  std::unordered_map<const xmlNode*, int> columns_;
};

// A node of a Document; the handle keeps the document alive. A default handle is "no node".
class Node {
 public:
  Node() = default;
  Node(std::shared_ptr<Document> doc, xmlNode* node);

  explicit operator bool() const { return node_ != nullptr; }
  bool IsElement() const;
  bool IsText() const;
  bool IsComment() const;

  std::string GetLocalName() const;
  // The element's prefix, empty when it has none.
  std::string GetPrefix() const;
  // The URI bound to `prefix` (empty: the default namespace) in scope at this node.
  std::optional<std::string> LookupNamespace(std::string_view prefix) const;

  // Qualified attribute name -> value, namespace declarations ("xmlns", "xmlns:p") included.
  std::map<std::string, std::string> GetAttributes() const;
  // An attribute without namespace, by its name.
  std::optional<std::string> GetAttribute(std::string_view name) const;
  std::optional<std::string> GetAttribute(const QName& name) const;

  // The content of a text or comment node.
  std::string GetText() const;

  long GetLine() const;
  int GetColumn() const;

  Node GetFirstChild() const;
  Node GetNextSibling() const;

  xmlNode* GetNative() const { return node_; }
  const std::shared_ptr<Document>& GetDocument() const { return doc_; }

 private:
  std::shared_ptr<Document> doc_;
  xmlNode* node_ = nullptr;
};

}  // namespace Basalt::Xml
