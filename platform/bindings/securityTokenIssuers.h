// Types of the security token issuers service interface
// ("com.tessel.nox.authentication.trust.security_token_issuers"), shared by its implementation,
// the issuer registry and the authentication handlers that read it. Member names are the wire
// names.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bindings/bindingEnum.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

// One signing certificate chain: PEM texts of X.509 certificates, in the order given.
struct X509CertChain {
  std::vector<std::string> cert_chain;
};
using X509CertChainPtr = std::shared_ptr<const X509CertChain>;
// Chains are shared and never changed once built.
using ChainList = std::vector<X509CertChainPtr>;

// What list fills into each summary: FULL (value 0) alias, issuer and chains; ISSUER (1, the
// default) alias and issuer; ALIAS (2) the alias only.
struct SummaryTypeTraits {
  enum Value { FULL = 0, ISSUER = 1, ALIAS = 2, UNKNOWN = 3 };
  static constexpr std::array<std::string_view, UNKNOWN> kNames = {"FULL", "ISSUER", "ALIAS"};
};
using SummaryType = Bindings::BindingEnum<SummaryTypeTraits>;

struct CreateSpec {
  std::string issuer_alias;
  std::string issuer;
  ChainList signing_cert_chains;
};

struct SetSpec {
  std::optional<std::string> issuer;
  std::optional<ChainList> signing_cert_chains;
};

// What the registry keeps per alias; chains in standardized PEM form.
struct Info {
  std::string issuer;
  ChainList signing_cert_chains;
};

struct Summary {
  SummaryType summary_type;
  std::optional<std::string> issuer_alias;
  std::optional<std::string> issuer;
  std::optional<ChainList> signing_cert_chains;
};

// The data of the conflict error: the issuer and the alias that already holds it.
struct IssuerAlreadyExistsInfo {
  std::string issuer;
  std::string issuer_alias;
};

// A certificate text that could not be brought into standard PEM form, as received.
struct StandardizingCertificateError {
  std::string cert;
  int64_t chain_index = 0;
  int64_t cert_index = 0;
};

// A standardized certificate text that the certificate parser refused, with its reason.
struct ParsingCertificateError {
  std::string cert;
  int64_t chain_index = 0;
  int64_t cert_index = 0;
  std::string message;
};

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
