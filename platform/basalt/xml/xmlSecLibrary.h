// Process-wide set-up of xmlsec (OpenSSL backend) and capture of its error reports.
#pragma once

#include <string>

namespace Basalt::Xml::Security {

// Initialises libxml2, xmlsec and its OpenSSL backend once; safe to call from any thread.
// Throws XmlSecurityException when the libraries cannot be initialised.
void EnsureXmlSecInitialized();

// Returns and clears what xmlsec reported on the calling thread since the last call.
std::string TakeXmlSecErrors();

}  // namespace Basalt::Xml::Security
