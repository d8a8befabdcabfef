// A strict, non-validating XML parser producing a Document.
//
// Documents with a DOCTYPE, entity declarations or processing instructions are refused as soon
// as the construct is met; no entity is substituted, no DTD is loaded and nothing is fetched
// from the network. Malformed or refused input raises Basalt::Exception.
#pragma once

#include "platform/basalt/libXml.h"

#include <memory>

#include "platform/basalt/xml/document.h"
#include "platform/basalt/xml/stringReader.h"

namespace Basalt::Xml {

// Receives the document of a successful parse.
class DocumentHandler {
 public:
  void SetDocument(std::shared_ptr<Document> document) { document_ = std::move(document); }
  const std::shared_ptr<Document>& GetDocument() const { return document_; }
  // The document element, or no node before a successful parse.
  Node GetDocumentElement() const;

 private:
  std::shared_ptr<Document> document_;
};

class XMLParser {
 public:
  virtual ~XMLParser() = default;
  // Reads the whole input and hands the document to the handler.
  virtual void Parse(Reader& reader) = 0;
};

std::shared_ptr<DocumentHandler> CreateXMLDocumentHandler();
std::unique_ptr<XMLParser> CreateXMLParser(std::shared_ptr<DocumentHandler> handler);

// libxml2 as this library uses it: loaded at the first call and kept for the life of the process
// (documents and xmlsec hold its pointers). Thread-safe; throws Basalt::Exception when libxml2
// cannot be loaded.
const LibXml& KeptLibXml();

}  // namespace Basalt::Xml
