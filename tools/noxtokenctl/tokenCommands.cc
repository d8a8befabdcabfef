// The commands of a session: log in and out, create, verify and inspect tokens.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/authn/unverifiedClaims.h"
#include "platform/bindings/tokenSvc.h"
#include "platform/bindings/verificationSvc.h"
#include "platform/orbi/canonicalJson.h"
#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/joseSigner.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/commands.h"
#include "tools/noxtokenctl/passwordInput.h"
#include "tools/noxtokenctl/refusalHints.h"
#include "tools/noxtokenctl/textTable.h"
#include "tools/noxtokenctl/tokenCache.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;
namespace Security = Orbi::Security;
constexpr const char* kTokenService = Api::TokenSvc::kServiceId;
constexpr const char* kVerificationService = Api::VerificationSvc::kServiceId;
constexpr size_t kMaxAssertionBytes = 1024 * 1024;

std::string TokenOf(const json_t& tokenInfo) { return StringMember(&tokenInfo, "token"); }

std::string UtcText(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  }
  return text;
}

std::string DurationText(int64_t seconds) {
  const int64_t minutes = seconds / 60;
  return (minutes > 0 ? std::to_string(minutes) + "m " : "") + std::to_string(seconds % 60) + "s";
}

SecurityCtx CredentialFor(Session& session, const UserOptions& options) {
  if (options.user.empty()) return session.CurrentCredential();
  return UserPassCtx(options.user, ReadPassword(options.user, options.passwordStdin));
}

std::string DefaultAlgorithm(EVP_PKEY* key) {
  for (const char* algorithm : {"ES256", "ES384", "RS256"}) {
    if (Security::KeyFitsAlgorithm(key, algorithm)) return algorithm;
  }
  return "";
}

// Now, in UTC with microseconds: the daemon accepts each signed text once, so two calls within
// one second must not sign the same timestamp.
std::string ProofTimestamp() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%06dZ", static_cast<int>(micros % 1000000));
  return text;
}

// The holder-of-key context of a `create` call: the assertion, and the proof that the caller
// holds its confirmation key (the canonical form of the call, signed).
SecurityCtx SamlCredential(const SamlOptions& saml) {
  const std::string assertion = ReadOptionFile("--saml", saml.assertionFile, kMaxAssertionBytes);
  Basalt::Crypto::EvpPkeyHandle key;
  try {
    key = Security::ReadPrivateKeyPem(saml.keyFile);
  } catch (const std::runtime_error& error) {
    throw FileError(std::string("--key ") + error.what());
  }
  const std::string algorithm =
      saml.algorithm.empty() ? DefaultAlgorithm(key.get()) : UpperCase(saml.algorithm);
  if (!Security::KeyFitsAlgorithm(key.get(), algorithm)) {
    throw CtlError(ExitCode::kUsage,
                   "--key " + saml.keyFile + " does not fit " +
                       (algorithm.empty() ? "any proof algorithm" : algorithm) +
                       ": RS256, RS384, RS512 and PS256 need RSA of 2048 bits or more, ES256 "
                       "a P-256 key, ES384 a P-384 key");
  }
  const std::string stamp = ProofTimestamp();
  JsonPtr call(json_pack("{s:{},s:s,s:s,s:s}", "input", "operationId", "create", "serviceId",
                         kTokenService, "timestamp", stamp.c_str()));
  const auto message = Orbi::Json::Canonicalize(*call);
  return {{Security::kSchemeIdKey, Security::kSamlHokScheme},
          {Security::kSamlHokTokenKey, assertion},
          {Security::kSamlHokAlgorithmKey, algorithm},
          {Security::kSignatureTimestampKey, stamp},
          {Security::kSignatureValueKey, Security::SignBase64(key.get(), algorithm, *message)}};
}

}  // namespace

ExitCode Login(Session& session, const UserOptions& options) {
  const auto file = TokenFilePath();
  if (!file) {
    throw CtlError(ExitCode::kUsage,
                   "neither XDG_RUNTIME_DIR nor HOME is set: nowhere to save "
                   "the token");
  }
  auto output = session.Call(kTokenService, "create", JsonPtr(json_object()),
                             CredentialFor(session, options));
  if (!output) return ExitCode::kApiError;
  const std::string token = TokenOf(**output);
  SaveToken(*file, token);
  session.Show(**output, [&](const json_t&) {
    const auto exp = ReadTokenExpiry(token);
    return "Logged in as " + options.user + " until " + (exp ? UtcText(*exp) : "unknown") +
           "; the token is saved in " + file->string() + "\n";
  });
  return ExitCode::kOk;
}

ExitCode Logout(Session& session) {
  const auto file = TokenFilePath();
  if (!file) throw CtlError(ExitCode::kUsage, "neither XDG_RUNTIME_DIR nor HOME is set");
  if (::unlink(file->c_str()) == 0) {
    session.Err() << "noxtokenctl: removed the saved token " << file->string() << "\n";
  } else if (errno == ENOENT) {
    session.Err() << "noxtokenctl: no saved token in " << file->string() << "\n";
  } else {
    throw CtlError(ExitCode::kApiError,
                   "cannot remove " + file->string() + ": " + std::strerror(errno));
  }
  return ExitCode::kOk;
}

ExitCode TokenCreate(Session& session, const UserOptions& options, const SamlOptions& saml) {
  const SecurityCtx credential =
      !saml.assertionFile.empty() ? SamlCredential(saml) : CredentialFor(session, options);
  return session.Run(kTokenService, "create", JsonPtr(json_object()), credential,
                     [](const json_t& output) { return TokenOf(output) + "\n"; });
}

ExitCode TokenVerify(Session& session, const std::string& token) {
  return session.Run(kVerificationService, "verify", JsonPtr(json_object()),
                     token.empty() ? session.CurrentCredential() : TokenCtx(token), nullptr);
}

ExitCode TokenInspect(Session& session, const std::string& given) {
  const std::string token = given.empty() ? session.CurrentToken().value_or("") : given;
  if (token.empty()) {
    throw CtlError(ExitCode::kUsage,
                   "no token: give one, or log in with: noxtokenctl login --user NAME");
  }
  const JsonPtr claims = Nox::Authn::ReadUnverifiedClaims(token);
  if (!claims) throw CtlError(ExitCode::kUsage, "TOKEN is not a JWT with a JSON payload", false);
  if (!IsDaemonToken(token)) {
    session.Err() << "noxtokenctl: warning: not a token of this daemon (it names an issuer or "
                     "no user)\n";
  }
  // Whether the daemon accepts it now: its own answer, a refusal shown as for any call.
  auto user = session.Call(kVerificationService, "verify", JsonPtr(json_object()), TokenCtx(token));
  std::string entitlements;
  size_t index;
  const json_t* name;
  json_array_foreach(json_object_get(claims.get(), "entitlement"), index, name) {
    entitlements += (entitlements.empty() ? "" : "\n") + CellText(name);
  }
  const json_t* exp = json_object_get(claims.get(), "exp");
  const int64_t left = json_integer_value(exp) - static_cast<int64_t>(std::time(nullptr));
  const std::string expiry =
      !json_is_integer(exp) ? "-"
      : left > 0 ? UtcText(json_integer_value(exp)) + " (" + DurationText(left) + " left)"
                 : UtcText(json_integer_value(exp)) + " (expired " + DurationText(-left) + " ago)";
  session.Show(*claims, [&](const json_t&) {
    return FormatFields({{"User", CellText(json_object_get(claims.get(), "username"))},
                         {"Entitlements", entitlements.empty() ? "-" : entitlements},
                         {"Expires", expiry},
                         {"Accepted", user ? "yes, as " + CellText(user->get()) : "no"}});
  });
  return user ? ExitCode::kOk : ExitCode::kApiError;
}

}  // namespace NoxCtl
