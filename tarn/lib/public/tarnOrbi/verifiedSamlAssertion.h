// A SAML assertion that the signature filter's key extractor verified, handed on through the
// call's context so that the holder-of-key handler of the same call takes it as it is.
#pragma once

#include <memory>
#include <string>

#include "lib/ssoclient/samlToken.h"
#include "platform/orbi/provider.h"

namespace TarnOrbi {

// Immutable once made.
class VerifiedSamlAssertion final : public Orbi::Core::VerifiedCredential {
 public:
  VerifiedSamlAssertion(std::string text, std::shared_ptr<const SsoClient::SamlToken> token)
      : text_(std::move(text)), token_(std::move(token)) {}

  // The token verified from exactly `text` in this call, else nullptr (no such hand-over, or one
  // for other text).
  static std::shared_ptr<const SsoClient::SamlToken> Find(
      const Orbi::Core::ExecutionContext& context, const std::string& text) {
    const auto* verified =
        dynamic_cast<const VerifiedSamlAssertion*>(context.verifiedCredential.get());
    return verified && verified->text_ == text ? verified->token_ : nullptr;
  }

 private:
  const std::string text_;
  const std::shared_ptr<const SsoClient::SamlToken> token_;
};

}  // namespace TarnOrbi
