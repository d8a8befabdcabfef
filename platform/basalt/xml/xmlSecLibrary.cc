#include "platform/basalt/xml/xmlSecLibrary.h"

#include <utility>

#include "platform/basalt/sharedLibrary.h"
#include "platform/basalt/xml/parser.h"
#include "platform/basalt/xml/securityExceptions.h"

namespace Basalt::Xml::Security {
namespace {

// Brings xmlsec's core library and libxslt along as its dependencies.
constexpr char kLibrary[] = "libxmlsec1-openssl.so.1";

// xmlsec reports errors through one process-wide callback; keeping the text per thread lets
// concurrent verifications each see their own.
thread_local std::string tErrors;

void RecordError(const char*, int, const char* func, const char* errorObject,
                 const char* errorSubject, int, const char* msg) {
  if (tErrors.size() > 2048) return;
  if (!tErrors.empty()) tErrors += "; ";
  tErrors += func ? func : "?";
  if (errorObject) tErrors += std::string(" ") + errorObject;
  if (errorSubject) tErrors += std::string(" ") + errorSubject;
  if (msg) tErrors += std::string(": ") + msg;
}

XmlSecFunctions Load() {
  auto library = SharedLibrary::Open(kLibrary);
  if (!library) {
    throw XmlSecurityException(std::string("Cannot load ") + kLibrary + ": " + library.error());
  }
  XmlSecFunctions functions;
#define BASALT_XMLSEC_BIND(name)                                                                 \
  functions.name = library->Bind<decltype(functions.name)>(#name);                               \
  if (functions.name == nullptr) {                                                               \
    throw XmlSecurityException(std::string("Cannot load ") + kLibrary + ": no function " #name); \
  }
  BASALT_XMLSEC_FUNCTIONS(BASALT_XMLSEC_BIND)
#undef BASALT_XMLSEC_BIND
  library->KeepLoaded();  // see the header
  return functions;
}

XmlSecFunctions LoadAndInitialize() {
  KeptLibXml();  // first: xmlsec uses the same loaded libxml2
  XmlSecFunctions xmlSec = Load();
  if (xmlSec.xmlSecInit() < 0) throw XmlSecurityException("xmlsec initialisation failed");
  if (xmlSec.xmlSecCheckVersionExt(XMLSEC_VERSION_MAJOR, XMLSEC_VERSION_MINOR,
                                   XMLSEC_VERSION_SUBMINOR, xmlSecCheckVersionABICompatible) != 1) {
    throw XmlSecurityException("xmlsec library version mismatch");
  }
  if (xmlSec.xmlSecOpenSSLAppInit(nullptr) < 0 || xmlSec.xmlSecOpenSSLInit() < 0) {
    throw XmlSecurityException("xmlsec OpenSSL backend initialisation failed");
  }
  // Set last: xmlSecInit installs the default callback, which writes to stderr.
  xmlSec.xmlSecErrorsSetCallback(RecordError);
  return xmlSec;
}

}  // namespace

const XmlSecFunctions& XmlSec() {
  static const XmlSecFunctions functions = LoadAndInitialize();
  return functions;
}

void EnsureXmlSecInitialized() { XmlSec(); }

std::string TakeXmlSecErrors() { return std::exchange(tErrors, std::string()); }

}  // namespace Basalt::Xml::Security
