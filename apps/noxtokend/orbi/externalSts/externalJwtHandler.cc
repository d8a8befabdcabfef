#include "apps/noxtokend/orbi/externalSts/externalJwtHandler.h"

#include <jansson.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/messageIds.h"
#include "platform/authn/authnData.h"
#include "platform/authn/jwtHandle.h"
#include "platform/basalt/assert.h"
#include "platform/basalt/crypto/base64.h"
#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/rwLock.h"
#include "platform/basalt/secretText.h"
#include "platform/orbi/errors.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/openSslSignatureVerifier.h"

namespace Nox::Authn {

namespace {

namespace Ids = Com::Tessel::Nox::Authentication::MessageIds;

using Basalt::Json::JsonPtr;
using Nox::Authn::JwtText;

// The token's claims, signature unchecked (the JOSE verifier checks it); libjwt's status: 0, or
// an errno value.
int DecodeClaims(const std::string& token, JwtPtr& out) {
  jwt_t* raw = nullptr;
  int status = jwt_decode(&raw, token.c_str(), nullptr, 0);
  out.reset(status == 0 ? raw : nullptr);
  return status;
}

// A claim that is a non-empty string, else empty.
std::string StringClaim(jwt_t* jwt, const char* name) {
  const char* value = jwt_get_grant(jwt, name);
  return value ? std::string(value) : std::string();
}

// The DER bytes of a registered certificate, which the registry keeps as standard PEM text.
std::optional<std::string> CertificateDer(const std::string& pem) {
  namespace Issuers = Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc;
  const std::string_view begin(Issuers::kPemBeginMarker);
  const size_t start = pem.find(begin);
  const size_t end = start == std::string::npos ? start : pem.find(Issuers::kPemEndMarker, start);
  if (end == std::string::npos) return std::nullopt;
  return Basalt::Crypto::DecodeBase64(
      std::string_view(pem).substr(start + begin.size(), end - start - begin.size()),
      Basalt::Crypto::Base64Alphabet::kStandard);
}

// The certificates that the full check would now try on a remembered token before the one that
// verified it, in order, each found among those that failed on it before; false when the one
// that verified is no longer registered or another certificate comes before it, which only the
// full check can judge.
bool RetraceCertificates(
    const VerifiedExternalToken& known,
    const Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc::Info& info,
    std::vector<const FailedCertificate*>& tried) {
  for (const auto& chain : info.signing_cert_chains) {
    for (const auto& certificate : chain->cert_chain) {
      if (certificate == known.certificate) return true;
      auto failed =
          std::find_if(known.failedBefore.begin(), known.failedBefore.end(),
                       [&](const FailedCertificate& item) { return item.text == certificate; });
      if (failed == known.failedBefore.end()) return false;
      tried.push_back(&*failed);
    }
  }
  return false;
}

}  // namespace

ExternalJwtHandler::ExternalJwtHandler(
    std::shared_ptr<Basalt::Service::Logger> logger, std::shared_ptr<Container> container,
    std::shared_ptr<const Orbi::L10n::Localizer> localizer, ClockFn clock,
    std::shared_ptr<Basalt::Crypto::CertificateCache> certificates, ExternalTokenPolicy policy)
    : logger_(std::move(logger)),
      container_(std::move(container)),
      localizer_(std::move(localizer)),
      clock_(clock ? std::move(clock) : ClockFn(&Basalt::System::UtcMicrosecondsNow)),
      certificates_(certificates ? std::move(certificates)
                                 : std::make_shared<Basalt::Crypto::CertificateCache>()),
      policy_(std::move(policy)) {}

Basalt::Crypto::EvpPkeyHandle ExternalJwtHandler::PublicKeyOf(const std::string& pem) const {
  if (auto known = byPem_.Find(pem)) return (*known)->GetPublicKey();
  auto der = CertificateDer(pem);
  if (!der) return nullptr;
  try {
    auto certificate =
        certificates_->Decode(reinterpret_cast<const uint8_t*>(der->data()), der->size());
    auto key = certificate->GetPublicKey();
    byPem_.Insert(pem, std::move(certificate));
    return key;
  } catch (const Basalt::Exception&) {
    return nullptr;
  }
}

void ExternalJwtHandler::Refuse(const Orbi::Authn::AuthnCallback& done,
                                Orbi::L10n::Message message) const {
  done(Orbi::Std::Unauthenticated({std::move(message)}).ToErrorValue(*localizer_));
}

void ExternalJwtHandler::RefuseUnknownIssuer(const std::string& issuer,
                                             const Orbi::Authn::AuthnCallback& done) const {
  logger_->Log(3, "Didn't find the alias of the issuer %1", issuer);
  Refuse(done, {Ids::kIssuerNotFound, {{"issuer", issuer}}});
}

void ExternalJwtHandler::AsyncAuthenticate(Orbi::Core::ExecutionContextPtr context,
                                           Orbi::Authn::AuthnCallback done) {
  const std::string* scheme = context->FindSecurity(Orbi::Security::kSchemeIdKey);
  const std::string* accessToken = context->FindSecurity(Orbi::Security::kAccessTokenKey);
  if (!scheme || *scheme != Orbi::Security::kOAuthScheme || !accessToken) {
    done(nullptr);
    return;
  }
  const std::string& token = *accessToken;
  const Basalt::HashedText key(token);  // both caches look it up
  if (withoutIssuer_.Find(key)) {
    done(nullptr);
    return;
  }
  const int64_t now = clock_() / 1000000;
  if (auto known = verified_.Find(key, now)) {
    if (AuthenticateKnown(token, *known, now, done)) return;
    verified_.Erase(key);
  }
  AuthenticateAnew(token, now, done);
}

bool ExternalJwtHandler::AuthenticateKnown(const std::string& token,
                                           const VerifiedExternalToken& known, int64_t nowSeconds,
                                           const Orbi::Authn::AuthnCallback& done) {
  bool issuerKnown = false;
  {
    Basalt::System::ScopedReadLock lock(*container_);
    if (const std::string* alias = container_->FindAliasByIssuer(known.issuer)) {
      const auto* info = container_->FindInfo(*alias);
      VERIFY(info != nullptr);  // the alias was found by issuer under the same lock
      std::vector<const FailedCertificate*> tried;
      if (*alias != known.alias || !RetraceCertificates(known, *info, tried)) return false;
      issuerKnown = true;
      logger_->Log(6, "Found issuer alias: %1", *alias);
      for (const FailedCertificate* failed : tried) {
        LogFailedCertificate(failed->text, failed->keyUnreadable);
      }
      LogVerified(token, *alias);
    }
  }
  if (!issuerKnown) {
    // Taken out of the registry: what is remembered can no longer serve.
    verified_.Erase(token);
    RefuseUnknownIssuer(known.issuer, done);
    return true;
  }
  Complete(known.alias, known.claims, nowSeconds, done);
  return true;
}

void ExternalJwtHandler::AuthenticateAnew(const std::string& token, int64_t nowSeconds,
                                          const Orbi::Authn::AuthnCallback& done) {
  const auto notDecodable = [&] {
    logger_->Log(3, "JWT not decodable: %1", Basalt::Service::ShortenedSecret(token));
    Refuse(done, {Ids::kInvalidToken, {}});
  };
  JwtPtr jwt;
  if (token.size() > kMaxExternalTokenLength || DecodeClaims(token, jwt) != 0) {
    notDecodable();
    return;
  }

  // The daemon's own tokens have no issuer and go on untouched, at the cost of one decode the
  // first time they are presented.
  auto verified = std::make_shared<VerifiedExternalToken>();
  verified->issuer = StringClaim(jwt.get(), "iss");
  if (verified->issuer.empty()) {
    withoutIssuer_.Insert(token, true);
    done(nullptr);
    return;
  }
  // libjwt takes the last of duplicate members and trusts the header's algorithm; the strict
  // read refuses the first and gives the second to the signature check.
  auto header = ReadExternalTokenHeader(token);
  if (!header) {
    notDecodable();
    return;
  }

  bool known = false;
  bool signatureVerified = false;
  {
    Basalt::System::ScopedReadLock lock(*container_);
    if (const std::string* found = container_->FindAliasByIssuer(verified->issuer)) {
      verified->alias = *found;
      known = true;
      logger_->Log(6, "Found issuer alias: %1", verified->alias);
      signatureVerified = VerifyTokenWithAlias(token, *header, verified->alias, *verified);
    }
  }
  if (!known) {
    RefuseUnknownIssuer(verified->issuer, done);
    return;
  }
  if (!signatureVerified) {
    logger_->Log(3, "Token validation failed: %1, issuer alias: %2",
                 Basalt::Service::ShortenedSecret(token), verified->alias);
    Refuse(done, {Ids::kExternalTokenInvalidSignature, {}});
    return;
  }

  ExternalTokenClaims& claims = verified->claims;
  // A missing, negative or non-integer "exp" reads as 0: such a token has expired.
  claims.exp = std::max(jwt_get_grant_int(jwt.get(), "exp"), 0L);
  claims.username = StringClaim(jwt.get(), "username");
  claims.domain = StringClaim(jwt.get(), "domain");
  claims.tree = std::move(header->claims);
  // An array of groups is walked in the strictly read tree; anything else takes libjwt's text,
  // whose parser decides what is logged.
  if (!json_is_array(json_object_get(claims.tree.get(), "group_names"))) {
    JwtText groupsText(jwt_get_grants_json(jwt.get(), "group_names"));
    if (groupsText) claims.groupsText = groupsText.get();
  }
  verified_.Insert(token, verified, nowSeconds);
  Complete(verified->alias, claims, nowSeconds, done);
}

void ExternalJwtHandler::Complete(const std::string& alias, const ExternalTokenClaims& claims,
                                  int64_t nowSeconds,
                                  const Orbi::Authn::AuthnCallback& done) const {
  if (nowSeconds > claims.exp) {
    logger_->Log(3, "Token validation failed, token validity expired");
    Refuse(done, {Ids::kTokenExpired, {}});
    return;
  }
  if (policy_.ChecksJwtClaims() && RefusedByPolicy(*claims.tree, alias, nowSeconds)) {
    Refuse(done, {Ids::kInvalidToken, {}});
    return;
  }

  AuthnData::Builder result(AuthnData::kExternalJwtResult);
  result.IssuerAlias(alias);
  if (!claims.username.empty()) {
    result.Username(claims.username);
    logger_->Log(6, "Found username: %1", claims.username);
  }
  if (!claims.domain.empty()) {
    result.Domain(claims.domain);
    logger_->Log(6, "Found domain: %1", claims.domain);
  }
  const json_t* groupNames = json_object_get(claims.tree.get(), "group_names");
  if (json_is_array(groupNames)) {
    result.Groups(ReadGroups(groupNames));
  } else if (!claims.groupsText.empty()) {
    json_error_t error;
    JsonPtr groups(json_loadb(claims.groupsText.data(), claims.groupsText.size(), 0, &error));
    if (!groups) {
      logger_->Log(4,
                   "Loading the groups failed:\nText: %1\nSource: %2\nLine: %3\nColumn: %4\n"
                   "Position: %5",
                   error.text, error.source, error.line, error.column, error.position);
    } else {
      result.Groups(ReadGroups(groups.get()));
    }
  }
  done(result.Build());
}

std::vector<AuthnData::StsGroup> ExternalJwtHandler::ReadGroups(const json_t* groups) const {
  std::vector<AuthnData::StsGroup> found;
  for (size_t i = 0; i < json_array_size(groups); ++i) {
    const json_t* item = json_array_get(groups, i);
    if (!item) {
      logger_->Log(4, "Couldn't get group %1. Continuing.", i);
      continue;
    }
    if (!json_is_string(item)) {
      logger_->Log(4, "Group %1 is not a string. Continuing.", i);
      continue;
    }
    std::string text(json_string_value(item), json_string_length(item));
    size_t at = text.find('@');
    AuthnData::StsGroup group = at == std::string::npos
                                    ? AuthnData::StsGroup{text, text}
                                    : AuthnData::StsGroup{text.substr(0, at), text.substr(at + 1)};
    logger_->Log(5, "Found group %1 @ %2", group.name, group.domain);
    found.push_back(std::move(group));
  }
  return found;
}

bool ExternalJwtHandler::RefusedByPolicy(const json_t& claims, const std::string& alias,
                                         int64_t nowSeconds) const {
  std::optional<ExternalTokenRefusal> refusal = policy_.CheckJwt(claims, nowSeconds);
  if (!refusal) return false;
  logger_->Log(3, "Token of issuer alias %1 refused: %2; the token holds: %3", alias,
               Describe(refusal->check), refusal->found);
  return true;
}

bool ExternalJwtHandler::VerifyTokenWithAlias(const std::string& token,
                                              const ExternalTokenHeader& header,
                                              const std::string& alias,
                                              VerifiedExternalToken& verified) const {
  const auto* info = container_->FindInfo(alias);
  VERIFY(info != nullptr);  // the alias was found by issuer under the same lock
  for (const auto& chain : info->signing_cert_chains) {
    for (const auto& certificate : chain->cert_chain) {
      const CertificateOutcome outcome = VerifyWithCertificate(token, header, certificate);
      if (outcome == CertificateOutcome::kVerified) {
        LogVerified(token, alias);
        verified.certificate = certificate;
        return true;
      }
      const bool keyUnreadable = outcome == CertificateOutcome::kKeyUnreadable;
      LogFailedCertificate(certificate, keyUnreadable);
      verified.failedBefore.push_back({certificate, keyUnreadable});
    }
  }
  logger_->Log(3, "Token %1 couldn't be verified with the issuer alias %2",
               Basalt::Service::ShortenedSecret(token), alias);
  return false;
}

ExternalJwtHandler::CertificateOutcome ExternalJwtHandler::VerifyWithCertificate(
    const std::string& token, const ExternalTokenHeader& header,
    const std::string& certificate) const {
  Basalt::Crypto::EvpPkeyHandle key = PublicKeyOf(certificate);
  if (!key) return CertificateOutcome::kKeyUnreadable;

  // The header's algorithm must be one the key's own family signs with, so that neither "none"
  // nor an HMAC is ever taken. A critical extension is never understood here.
  auto admitted = header.hasCrit ? std::nullopt : AdmittedAlgorithm(header.alg, *key);
  if (!admitted) return CertificateOutcome::kNotVerified;
  const size_t signatureAt = token.rfind('.');
  auto signature = Basalt::Crypto::DecodeBase64(std::string_view(token).substr(signatureAt + 1),
                                                Basalt::Crypto::Base64Alphabet::kUrl);
  auto verifier = Orbi::Security::CreateOpenSslSignatureVerifier(header.alg, std::move(key));
  return signature && verifier &&
                 verifier->Verify(std::string_view(token).substr(0, signatureAt),
                                  std::vector<uint8_t>(signature->begin(), signature->end()))
             ? CertificateOutcome::kVerified
             : CertificateOutcome::kNotVerified;
}

void ExternalJwtHandler::LogFailedCertificate(const std::string& certificate,
                                              bool keyUnreadable) const {
  if (keyUnreadable) {
    logger_->Log(4,
                 "While extracting public key from cert: \nWriting the public cey from this cert "
                 "to BIO_s_mem()failed: %1\nWrite Result: %2\nTrying the next cert.",
                 certificate, 0);
  } else {
    logger_->Log(6, "Attempting cert %1 failed: %2\nContinuing with the next cert.", certificate,
                 strerror(EINVAL));
  }
}

void ExternalJwtHandler::LogVerified(const std::string& token, const std::string& alias) const {
  if (!logger_->IsEnabled(6)) return;  // spares shortening the token on every call
  logger_->Log(6, "Token %1 verified with a cert from issuerAlias %2",
               Basalt::Service::ShortenedSecret(token), alias);
}

}  // namespace Nox::Authn
