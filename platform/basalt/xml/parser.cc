#include "platform/basalt/xml/parser.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/xml/silencedGenericErrors.h"

namespace Basalt::Xml {
namespace {

constexpr size_t kChunkSize = 4096;
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// libxml2 compares each attribute of a start tag with every earlier one, so a tag of 100,000
// attributes takes minutes: tags are counted in the text before libxml2 reads it. An '=' outside
// quotes inside a tag starts an attribute (namespace declarations included); that over-counts
// only in comments, which no document this daemon reads needs to fill with them.
constexpr int kMaxAttributesPerElement = 256;

class AttributeCounter {
 public:
  // False once a tag of the text fed so far holds more attributes than the bound.
  bool Feed(const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const char c = bytes[i];
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
      } else if (!inTag_) {
        if (c == '<') {
          inTag_ = true;
          attributes_ = 0;
        }
      } else if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (c == '>') {
        inTag_ = false;
      } else if (c == '=' && ++attributes_ > kMaxAttributesPerElement) {
        return false;
      }
    }
    return true;
  }

 private:
  bool inTag_ = false;
  char quote_ = 0;
  int attributes_ = 0;
};

struct ParseState {
  std::string refusal;
  std::unordered_map<const xmlNode*, int> columns;
};

struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const {
    if (ctxt->myDoc) KeptLibXml().xmlFreeDoc(ctxt->myDoc);
    KeptLibXml().xmlFreeParserCtxt(ctxt);
  }
};
using ParserCtxtHandle = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;

ParseState& StateOf(void* ctx) {
  return *static_cast<ParseState*>(static_cast<xmlParserCtxt*>(ctx)->_private);
}

void Refuse(void* ctx, const char* what) {
  ParseState& state = StateOf(ctx);
  if (state.refusal.empty()) state.refusal = what;
  KeptLibXml().xmlStopParser(static_cast<xmlParserCtxt*>(ctx));
}

void OnDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  Refuse(ctx, "XML document type declarations are not accepted");
}

void OnEntityDecl(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
  Refuse(ctx, "XML entity declarations are not accepted");
}

void OnProcessingInstruction(void* ctx, const xmlChar*, const xmlChar*) {
  Refuse(ctx, "XML processing instructions are not accepted");
}

xmlEntity* OnGetEntity(void* ctx, const xmlChar*) {
  Refuse(ctx, "XML entity references are not accepted");
  return nullptr;
}

void OnStartElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                    int nbNamespaces, const xmlChar** namespaces, int nbAttributes, int nbDefaulted,
                    const xmlChar** attributes) {
  KeptLibXml().xmlSAX2StartElementNs(ctx, localName, prefix, uri, nbNamespaces, namespaces,
                                     nbAttributes, nbDefaulted, attributes);
  auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
  if (ctxt->node) StateOf(ctx).columns[ctxt->node] = KeptLibXml().xmlSAX2GetColumnNumber(ctx);
}

void IgnoreError(void*, xmlError*) {}

xmlSAXHandler MakeSaxHandler() {
  xmlSAXHandler sax{};
  KeptLibXml().xmlSAXVersion(&sax, 2);
  sax.internalSubset = OnDoctype;
  sax.externalSubset = OnDoctype;
  sax.entityDecl = OnEntityDecl;
  sax.processingInstruction = OnProcessingInstruction;
  sax.getEntity = OnGetEntity;
  sax.getParameterEntity = OnGetEntity;
  sax.startElementNs = OnStartElement;
  sax.serror = IgnoreError;
  return sax;
}

class LibXmlParser : public XMLParser {
 public:
  explicit LibXmlParser(std::shared_ptr<DocumentHandler> handler) : handler_(std::move(handler)) {}

  void Parse(Reader& reader) override {
    const SilencedGenericErrors silenced;
    xmlSAXHandler sax = MakeSaxHandler();
    ParserCtxtHandle ctxt(KeptLibXml().xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr));
    if (!ctxt) throw Exception("Cannot create an XML parser");
    KeptLibXml().xmlCtxtUseOptions(ctxt.get(), kParseOptions);
    ParseState state;
    ctxt->_private = &state;

    char buffer[kChunkSize];
    AttributeCounter attributes;
    bool more = true;
    while (more && state.refusal.empty() && !ctxt->disableSAX) {
      const size_t count = reader.Read(buffer, sizeof buffer);
      if (!attributes.Feed(buffer, count)) {
        throw Exception(Format("XML elements of more than %1 attributes are not accepted",
                               kMaxAttributesPerElement));
      }
      more = count > 0;
      KeptLibXml().xmlParseChunk(ctxt.get(), buffer, static_cast<int>(count), more ? 0 : 1);
    }
    if (!state.refusal.empty()) throw Exception(state.refusal);
    // libxml2 stops at its size limits and when out of memory without marking the document as
    // not well-formed: what was parsed until then must not pass for the whole.
    if (ctxt->errNo == XML_ERR_NO_MEMORY) {
      const xmlError* error = KeptLibXml().xmlCtxtGetLastError(ctxt.get());
      if (error && error->message && std::strstr(error->message, "huge text node")) {
        throw Exception(
            Format("XML text of more than %1 bytes is not accepted", XML_MAX_TEXT_LENGTH));
      }
      throw Exception("Not enough memory to parse the XML document");
    }
    if (!ctxt->wellFormed || !ctxt->nsWellFormed || !ctxt->myDoc ||
        !KeptLibXml().xmlDocGetRootElement(ctxt->myDoc)) {
      const xmlError* error = KeptLibXml().xmlCtxtGetLastError(ctxt.get());
      std::string message = error && error->message ? error->message : "no document element";
      while (!message.empty() && message.back() == '\n') message.pop_back();
      throw Exception(Format("Malformed XML at line %1: %2", error ? error->line : 0, message));
    }
    XmlDocHandle doc(ctxt->myDoc, {&KeptLibXml()});
    ctxt->myDoc = nullptr;
    handler_->SetDocument(std::make_shared<Document>(std::move(doc), std::move(state.columns)));
  }

 private:
  std::shared_ptr<DocumentHandler> handler_;
};

}  // namespace

Node DocumentHandler::GetDocumentElement() const {
  return document_ ? document_->GetDocumentElement() : Node();
}

std::shared_ptr<DocumentHandler> CreateXMLDocumentHandler() {
  return std::make_shared<DocumentHandler>();
}

std::unique_ptr<XMLParser> CreateXMLParser(std::shared_ptr<DocumentHandler> handler) {
  return std::make_unique<LibXmlParser>(std::move(handler));
}

const LibXml& KeptLibXml() {
  static const std::shared_ptr<const LibXml> kept = LibXml::Acquire();
  return *kept;
}

}  // namespace Basalt::Xml
