// libxml2, called through a loaded library. libxml2 brings ICU, liblzma and zlib with it, about
// 1.6 MB resident once the configuration has been read; the daemon needs it only to read its
// configuration at start and for SAML calls, so it is loaded by those and unloaded when nothing
// holds it any more.
#pragma once

#include <libxml/SAX2.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/valid.h>

#include <memory>
#include <string>

#include "platform/basalt/sharedLibrary.h"

namespace Basalt::Xml {

// Every libxml2 function the runtime calls; each becomes a member of LibXml of the same name.
#define BASALT_LIBXML_FUNCTIONS(X) \
  X(xmlInitParser)                 \
  X(xmlNewParserCtxt)              \
  X(xmlCreatePushParserCtxt)       \
  X(xmlFreeParserCtxt)             \
  X(xmlCtxtUseOptions)             \
  X(xmlCtxtReadMemory)             \
  X(xmlCtxtGetLastError)           \
  X(xmlParseChunk)                 \
  X(xmlStopParser)                 \
  X(xmlSAXVersion)                 \
  X(xmlSAX2StartElementNs)         \
  X(xmlSAX2GetColumnNumber)        \
  X(xmlFreeDoc)                    \
  X(xmlDocGetRootElement)          \
  X(xmlNodeGetContent)             \
  X(xmlNodeListGetString)          \
  X(xmlGetNoNsProp)                \
  X(xmlGetNsProp)                  \
  X(xmlHasNsProp)                  \
  X(xmlSearchNs)                   \
  X(xmlGetLineNo)                  \
  X(xmlGetID)                      \
  X(xmlAddID)                      \
  X(xmlSetGenericErrorFunc)        \
  X(__xmlGenericError)             \
  X(__xmlGenericErrorContext)

class LibXml {
  struct LoadKey {
    explicit LoadKey() = default;
  };

 public:
  // The loaded library with its parser initialised; one load is shared by everyone holding it
  // and closed when the last holder lets go. Thread-safe. Throws Basalt::Exception when
  // libxml2 cannot be loaded.
  static std::shared_ptr<const LibXml> Acquire();

  // libxml2's deallocator, for the strings its functions return.
  void Free(void* memory) const { (*free_)(memory); }

#define BASALT_LIBXML_MEMBER(name) decltype(&::name) name = nullptr;
  BASALT_LIBXML_FUNCTIONS(BASALT_LIBXML_MEMBER)
#undef BASALT_LIBXML_MEMBER

  // For Acquire() only (LoadKey is private). Throws when a function is missing.
  LibXml(LoadKey, SharedLibrary library);
  LibXml(const LibXml&) = delete;
  LibXml& operator=(const LibXml&) = delete;

 private:
  SharedLibrary library_;
  xmlFreeFunc* free_ = nullptr;
};

}  // namespace Basalt::Xml
