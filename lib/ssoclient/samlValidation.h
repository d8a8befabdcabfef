// The checks a parsed assertion must pass before it becomes a token, and its signature check.
#pragma once

#include <cstdint>

#include "lib/ssoclient/parsedAssertion.h"
#include "platform/basalt/xml/keyResolver.h"

namespace SsoClient {

// Version, ID, validity window (widened by `toleranceSeconds` at both ends), bearer subject
// validity and delegation consistency, in that order. Throws ParseException.
void CheckAssertionSemantics(const ParsedAssertion& assertion, int64_t toleranceSeconds,
                             Basalt::System::DateTime now);

// Throws InvalidSignatureException unless the signature verifies with one of the keys.
void VerifySignature(const Basalt::Xml::Security::Signature& signature,
                     const Basalt::Xml::Security::KeyResolver& keys);

}  // namespace SsoClient
