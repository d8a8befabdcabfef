// Errors of the SAML token library. Their messages are the only diagnostic of a refusal.
#pragma once

#include "platform/basalt/exception.h"

namespace SsoClient {

class SsoException : public Basalt::Exception {
 public:
  using Basalt::Exception::Exception;
};

// A token that is refused, for whatever reason.
class InvalidTokenException : public SsoException {
 public:
  using SsoException::SsoException;
};

// A structural, semantic or validity error of the token's XML.
class ParseException : public InvalidTokenException {
 public:
  using InvalidTokenException::InvalidTokenException;
};

// A signature that does not verify with the trusted certificates.
class InvalidSignatureException : public InvalidTokenException {
 public:
  using InvalidTokenException::InvalidTokenException;
};

}  // namespace SsoClient
