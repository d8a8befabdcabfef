// nox-saml-check TOKEN.xml CERT.pem... [--now ISO-8601-UTC]
//
// Runs CreateVerifiedSamlToken on the token with the certificates of the PEM files as the trusted
// set. Prints the token model as JSON and returns 0, or prints the refusal's exception class and
// message and returns 1. Usage and file errors go to `err` and return 2.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace NoxTools {

int RunSamlCheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace NoxTools
