#include "platform/basalt/xml/xmlSecLibrary.h"

#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>
#include <xmlsec/openssl/app.h>
#include <xmlsec/openssl/crypto.h>

#include <utility>

#include "platform/basalt/xml/parser.h"
#include "platform/basalt/xml/securityExceptions.h"

namespace Basalt::Xml::Security {
namespace {

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

bool Initialize() {
  EnsureLibXmlInitialized();
  if (xmlSecInit() < 0) throw XmlSecurityException("xmlsec initialisation failed");
  if (xmlSecCheckVersion() != 1) throw XmlSecurityException("xmlsec library version mismatch");
  if (xmlSecOpenSSLAppInit(nullptr) < 0 || xmlSecOpenSSLInit() < 0) {
    throw XmlSecurityException("xmlsec OpenSSL backend initialisation failed");
  }
  // Set last: xmlSecInit installs the default callback, which writes to stderr.
  xmlSecErrorsSetCallback(RecordError);
  return true;
}

}  // namespace

void EnsureXmlSecInitialized() {
  static const bool initialized = Initialize();
  (void)initialized;
}

std::string TakeXmlSecErrors() { return std::exchange(tErrors, std::string()); }

}  // namespace Basalt::Xml::Security
