// Owning handles for libxml2: the runtime's configuration reader and its XML parser free
// documents, parser contexts and strings through these. Header only; users link libxml2.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace Basalt::Xml {

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocHandle = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
using XmlParserCtxtHandle = std::unique_ptr<xmlParserCtxt, XmlParserCtxtDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlCharHandle = std::unique_ptr<xmlChar, XmlCharDeleter>;

}  // namespace Basalt::Xml
