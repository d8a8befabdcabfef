// Owning handles for libxml2: the runtime's configuration reader and its XML parser free
// documents, parser contexts and strings through these, with the loaded library that made them
// (which must outlive them). Header only.
#pragma once

#include <memory>

#include "platform/basalt/libXml.h"

namespace Basalt::Xml {

struct XmlDocDeleter {
  const LibXml* xml = nullptr;
  void operator()(xmlDoc* doc) const { xml->xmlFreeDoc(doc); }
};
using XmlDocHandle = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlParserCtxtDeleter {
  const LibXml* xml = nullptr;
  void operator()(xmlParserCtxt* ctxt) const { xml->xmlFreeParserCtxt(ctxt); }
};
using XmlParserCtxtHandle = std::unique_ptr<xmlParserCtxt, XmlParserCtxtDeleter>;

struct XmlCharDeleter {
  const LibXml* xml = nullptr;
  void operator()(xmlChar* text) const { xml->Free(text); }
};
using XmlCharHandle = std::unique_ptr<xmlChar, XmlCharDeleter>;

}  // namespace Basalt::Xml
