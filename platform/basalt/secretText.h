// How a credential appears in a log line: its size and, for a long one, the first few characters
// that tell its kind ("eyJhbGci" for a JWT, "<saml2:A" for an assertion) — never enough of it to
// replay, guess or correlate with another log. Every token, assertion, proof, signature and
// password that a log line substitutes goes through here.
#pragma once

#include <string>
#include <string_view>

namespace Basalt::Service {

// "…(secret, N bytes)", after the first 8 characters when the value has 64 bytes or more: a
// password keeps none of its characters, a token only its header's start.
std::string ShortenedSecret(std::string_view secret);

}  // namespace Basalt::Service
