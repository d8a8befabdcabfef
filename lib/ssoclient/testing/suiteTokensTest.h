// Test support: a fixture base whose test suite makes its keys and default token once.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/ssoclient/testing/samlTestTokens.h"

namespace SsoClient::Testing {

class SuiteTokensTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = std::make_unique<SuiteTokens>(); }
  static void TearDownTestSuite() { suite_.reset(); }

  static const SamlTestTokens& Tokens() { return suite_->tokens; }
  // The default holder-of-key token signed by the RSA issuer.
  static const std::string& DefaultSigned() { return suite_->defaultSigned; }

 private:
  static inline std::unique_ptr<SuiteTokens> suite_;
};

}  // namespace SsoClient::Testing
