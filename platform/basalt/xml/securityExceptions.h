// Errors of XML-Signature processing.
#pragma once

#include "platform/basalt/exception.h"

namespace Basalt::Xml::Security {

// Verification could not be carried out (a processing error, not a wrong signature).
class XmlSecurityException : public Exception {
 public:
  using Exception::Exception;
};

// The ds:Signature element is malformed or uses something this library does not accept.
class SignatureSyntaxException : public XmlSecurityException {
 public:
  using XmlSecurityException::XmlSecurityException;
};

}  // namespace Basalt::Xml::Security
