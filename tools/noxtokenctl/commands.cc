#include "tools/noxtokenctl/commands.h"

#include <ctime>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/bindings/tokenSvc.h"
#include "platform/bindings/verificationSvc.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/passwordInput.h"
#include "tools/noxtokenctl/textViews.h"
#include "tools/noxtokenctl/tokenCache.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;
constexpr const char* kTokenService = Api::TokenSvc::kServiceId;
constexpr const char* kVerificationService = Api::VerificationSvc::kServiceId;
constexpr const char* kProfilesService = Api::ClientProfilesSvc::kServiceId;
constexpr const char* kIssuersService = Api::Trust::SecurityTokenIssuersSvc::kServiceId;

JsonPtr Object() { return JsonPtr(json_object()); }

void SetString(json_t* object, const char* name, const std::string& value) {
  json_object_set_new(object, name, json_stringn(value.data(), value.size()));
}

void SetIfGiven(json_t* object, const char* name, const std::string& value) {
  if (!value.empty()) SetString(object, name, value);
}

SecurityCtx CredentialFor(Session& session, const UserOptions& options) {
  if (options.user.empty()) return session.CurrentCredential();
  return UserPassCtx(options.user, ReadPassword(options.user, options.passwordStdin));
}

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

// The subject and issuer members shared by the create and filter specs.
JsonPtr SubjectSpec(const ProfileOptions& options) {
  JsonPtr spec = Object();
  SetIfGiven(spec.get(), "local_user", options.localUser);
  SetIfGiven(spec.get(), "external_user", options.externalUser);
  SetIfGiven(spec.get(), "external_group", options.externalGroup);
  SetIfGiven(spec.get(), "issuer_alias", options.issuerAlias);
  SetIfGiven(spec.get(), "domain", options.domain);
  return spec;
}

json_t* Grants(const ProfileOptions& options) {
  JsonPtr grants(json_array());
  for (const auto& text : options.grants) {
    json_array_append_new(grants.get(), ParseGrant(text).release());
  }
  return grants.release();
}

JsonPtr ProfileInput(const ProfileOptions& options) {
  JsonPtr input = Object();
  SetString(input.get(), "profile", options.name);
  return input;
}

json_t* Chains(const IssuerOptions& options) {
  JsonPtr chains(json_array());
  for (const auto& file : options.chainFiles) {
    json_array_append_new(chains.get(), ReadCertChain(file).release());
  }
  return chains.release();
}

JsonPtr AliasInput(const IssuerOptions& options) {
  JsonPtr input = Object();
  SetString(input.get(), "issuer_alias", options.alias);
  return input;
}

}  // namespace

ExitCode Login(Session& session, const UserOptions& options) {
  const auto file = TokenFilePath();
  if (!file) {
    throw CtlError(ExitCode::kUsage,
                   "neither XDG_RUNTIME_DIR nor HOME is set: nowhere to save "
                   "the token");
  }
  auto output = session.Call(kTokenService, "create", Object(), CredentialFor(session, options));
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

ExitCode TokenCreate(Session& session, const UserOptions& options) {
  const ExitCode code =
      session.Run(kTokenService, "create", Object(), CredentialFor(session, options),
                  [](const json_t& output) { return TokenOf(output) + "\n"; });
  if (code == ExitCode::kApiError && options.user.empty()) {
    session.Err() << "noxtokenctl: a token of this daemon cannot obtain another one; use --user, "
                     "or --token with an external issuer's token\n";
  }
  return code;
}

ExitCode TokenVerify(Session& session, const std::string& token) {
  return session.Run(kVerificationService, "verify", Object(),
                     token.empty() ? session.CurrentCredential() : TokenCtx(token), nullptr);
}

ExitCode ProfileList(Session& session, const ProfileOptions& options) {
  JsonPtr input = Object();
  JsonPtr filter = SubjectSpec(options);
  if (json_object_size(filter.get()) > 0)
    json_object_set_new(input.get(), "filter", filter.release());
  const std::string projection = UpperCase(options.projection);
  SetIfGiven(input.get(), "projection", projection);
  return session.Run(
      kProfilesService, "list", std::move(input), session.CurrentCredential(),
      [&projection](const json_t& list) { return ProfileListView(list, projection); });
}

ExitCode ProfileCreate(Session& session, const ProfileOptions& options) {
  JsonPtr spec = SubjectSpec(options);
  json_object_set_new(spec.get(), "grants", Grants(options));
  JsonPtr input = Object();
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kProfilesService, "create", std::move(input), session.CurrentCredential(),
                     nullptr);
}

ExitCode ProfileGet(Session& session, const ProfileOptions& options) {
  return session.Run(kProfilesService, "get", ProfileInput(options), session.CurrentCredential(),
                     ProfileView);
}

ExitCode ProfileSet(Session& session, const ProfileOptions& options) {
  JsonPtr spec = Object();
  json_object_set_new(spec.get(), "grants", Grants(options));
  JsonPtr input = ProfileInput(options);
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kProfilesService, "set", std::move(input), session.CurrentCredential(),
                     nullptr);
}

ExitCode ProfileDelete(Session& session, const ProfileOptions& options) {
  return session.Run(kProfilesService, "delete", ProfileInput(options), session.CurrentCredential(),
                     nullptr);
}

ExitCode IssuerList(Session& session, const IssuerOptions& options) {
  JsonPtr input = Object();
  const std::string projection = UpperCase(options.projection);
  SetIfGiven(input.get(), "projection", projection);
  return session.Run(
      kIssuersService, "list", std::move(input), session.CurrentCredential(),
      [&projection](const json_t& list) { return IssuerListView(list, projection); });
}

ExitCode IssuerCreate(Session& session, const IssuerOptions& options) {
  JsonPtr spec = Object();
  SetString(spec.get(), "issuer_alias", options.alias);
  SetString(spec.get(), "issuer", options.issuer);
  json_object_set_new(spec.get(), "signing_cert_chains", Chains(options));
  JsonPtr input = Object();
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kIssuersService, "create", std::move(input), session.CurrentCredential(),
                     nullptr);
}

ExitCode IssuerGet(Session& session, const IssuerOptions& options) {
  return session.Run(kIssuersService, "get", AliasInput(options), session.CurrentCredential(),
                     IssuerView);
}

ExitCode IssuerSet(Session& session, const IssuerOptions& options) {
  JsonPtr spec = Object();
  if (options.issuerGiven) SetString(spec.get(), "issuer", options.issuer);
  if (!options.chainFiles.empty()) {
    json_object_set_new(spec.get(), "signing_cert_chains", Chains(options));
  }
  JsonPtr input = AliasInput(options);
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kIssuersService, "set", std::move(input), session.CurrentCredential(),
                     nullptr);
}

ExitCode IssuerDelete(Session& session, const IssuerOptions& options) {
  return session.Run(kIssuersService, "delete", AliasInput(options), session.CurrentCredential(),
                     nullptr);
}

ExitCode CallOperation(Session& session, const CallOptions& options) {
  JsonPtr input = options.input.empty() ? Object() : ParseInputObject(options.input);
  return session.Run(options.service, options.operation, std::move(input),
                     session.CurrentCredential(), nullptr);
}

}  // namespace NoxCtl
