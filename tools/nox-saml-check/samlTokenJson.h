// The token model as a JSON object, for people who debug a federation.
#pragma once

#include <string>

#include "lib/ssoclient/samlToken.h"

namespace NoxTools {

// Two-space indented JSON; times in ISO 8601 UTC text form.
std::string SamlTokenToJson(const SsoClient::SamlToken& token);

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);

}  // namespace NoxTools
