// Feeds arbitrary text to the SAML token parser and, for tokens that parse, to signature
// verification against the token's own confirmation certificate (a key the fuzzer controls).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/ssoclient/samlTokenImpl.h"
#include "platform/basalt/xml/keyResolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Basalt::System::UtcClock clock =
      Basalt::System::FixedUtcClock(Basalt::System::DateTime("2030-01-01T10:30:00Z"));
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const SsoClient::SamlTokenImpl token(text, 600, clock);
    auto trusted = std::make_shared<Basalt::Xml::Security::CertificateList>();
    if (token.GetConfirmationCertificate()) trusted->push_back(token.GetConfirmationCertificate());
    token.GetSignature()->Verify(*Basalt::Xml::Security::CreateTrustSetKeyResolver(trusted));
  } catch (const Basalt::Exception&) {
    // Refusals are the expected outcome for almost every input.
  }
  return 0;
}
