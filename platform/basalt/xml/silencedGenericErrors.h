// Keeps libxml2 from writing errors raised outside a parser context (encoding conversion,
// canonicalization) to stderr; they surface through the callers' own error reporting instead.
#pragma once

#include "platform/basalt/xml/parser.h"

namespace Basalt::Xml {

// Silences the calling thread's generic error handler for the object's lifetime.
class SilencedGenericErrors {
 public:
  SilencedGenericErrors()
      : handler_(*KeptLibXml().__xmlGenericError()),
        context_(*KeptLibXml().__xmlGenericErrorContext()) {
    KeptLibXml().xmlSetGenericErrorFunc(nullptr, Ignore);
  }
  ~SilencedGenericErrors() { KeptLibXml().xmlSetGenericErrorFunc(context_, handler_); }
  SilencedGenericErrors(const SilencedGenericErrors&) = delete;
  SilencedGenericErrors& operator=(const SilencedGenericErrors&) = delete;

 private:
  static void Ignore(void*, const char*, ...) {}

  xmlGenericErrorFunc handler_;
  void* context_;
};

}  // namespace Basalt::Xml
