// The strict reader of one SAML 2.0 assertion profile: a fixed order of elements, a closed set of
// attributes per element and a fixed set of condition kinds. Every violation is a ParseException
// naming the element; malformed XML and undecodable certificates raise the runtime's exceptions.
#pragma once

#include <string>

#include "lib/ssoclient/elementCursor.h"
#include "lib/ssoclient/parsedAssertion.h"
#include "platform/basalt/crypto/certificateCache.h"

namespace SsoClient {

// Decodes the holder-of-key certificate through `certificates` when one is given.
ParsedAssertion ParseAssertion(const std::string& xml,
                               Basalt::Crypto::CertificateCache* certificates = nullptr);

// The children of saml:Conditions (delegation, audience, proxy and renew restrictions).
void ParseConditionChildren(ElementCursor children, const NodeFilter& filter,
                            ParsedConditions& conditions);

}  // namespace SsoClient
