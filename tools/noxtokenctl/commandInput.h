// Operation inputs built from command-line words and the files they name.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/orbi/json.h"

namespace NoxCtl {

// "RESOURCE:ENTITLEMENT", case-insensitive, e.g. "host:administrator", as an access_grant
// object. Only known names pass: the daemon keeps an unknown name as an unknown value, which would
// silently grant nothing. Throws CtlError(kUsage) naming the accepted values.
Orbi::Json::JsonPtr ParseGrant(std::string_view text);

// The PEM certificate blocks of a file's text, each from its BEGIN line to its END line, in order.
std::vector<std::string> SplitPemCertificates(std::string_view text);

// The text of a file an option names (`label`, e.g. "--saml"), at most `maxBytes`. Throws
// FileError with the label, the file and the reason.
std::string ReadOptionFile(const std::string& label, const std::string& file, size_t maxBytes);

// An x509_cert_chain of the certificates in one PEM file. Throws CtlError(kUsage) when the file
// cannot be read or holds no certificate.
Orbi::Json::JsonPtr ReadCertChain(const std::string& file);

// INPUT_JSON of `call`: must be a JSON object. Throws CtlError(kUsage) with the parser's reason.
Orbi::Json::JsonPtr ParseInputObject(const std::string& text);

// ASCII upper case, as enumeration names are written.
std::string UpperCase(std::string_view text);

// The value of a string member, or "" when it is missing or not a string.
std::string StringMember(const json_t* object, const char* name);

}  // namespace NoxCtl
