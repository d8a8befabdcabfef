// Test support: a fixture base whose test suite makes its keys and default token once (key
// generation and signing are slow).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/ssoclient/testing/samlTestTokens.h"

namespace SsoClient::Testing {

class SuiteTokensTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tokens_ = std::make_unique<SamlTestTokens>();
    defaultSigned_ = tokens_->Signed(tokens_->DefaultSpec(), tokens_->IssuerRsa());
  }
  static void TearDownTestSuite() { tokens_.reset(); }

  static const SamlTestTokens& Tokens() { return *tokens_; }
  // The default holder-of-key token signed by the RSA issuer.
  static const std::string& DefaultSigned() { return defaultSigned_; }
  // The default holder-of-key document, unsigned, its confirmation data NotOnOrAfter `value`.
  static std::string ConfirmedUntil(const std::string& value) {
    return ReplaceOnce(tokens_->Render(tokens_->DefaultSpec()), "<saml2:SubjectConfirmationData ",
                       "<saml2:SubjectConfirmationData NotOnOrAfter=\"" + value + "\" ");
  }

 private:
  static inline std::unique_ptr<SamlTestTokens> tokens_;
  static inline std::string defaultSigned_;
};

}  // namespace SsoClient::Testing
