#include "tools/noxtokenctl/session.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "platform/orbi/frameworkIds.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/refusalHints.h"
#include "tools/noxtokenctl/textViews.h"
#include "tools/noxtokenctl/tokenCache.h"

namespace NoxCtl {

SecurityCtx UserPassCtx(const std::string& user, const std::string& password) {
  return {{Orbi::Security::kSchemeIdKey, Orbi::Security::kUserPassScheme},
          {Orbi::Security::kUserNameKey, user},
          {Orbi::Security::kPasswordKey, password}};
}

SecurityCtx TokenCtx(const std::string& token) {
  return {{Orbi::Security::kSchemeIdKey, Orbi::Security::kOAuthScheme},
          {Orbi::Security::kAccessTokenKey, token}};
}

Session::Session(SessionOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {
  // Always sent, so that a refusal can point to the daemon's log lines of this call.
  if (options_.opId.empty()) {
    std::random_device random;
    char id[32];
    std::snprintf(id, sizeof id, "noxtokenctl-%08x", static_cast<unsigned>(random()));
    options_.opId = id;
  }
}

std::optional<std::string> Session::CurrentToken() {
  if (!options_.token.empty()) {
    credentialOrigin_ = "--token";
    return options_.token;
  }
  if (const char* env = std::getenv("NOXTOKEN_TOKEN"); env != nullptr && *env != '\0') {
    credentialOrigin_ = "NOXTOKEN_TOKEN";
    return std::string(env);
  }
  credentialOrigin_.clear();
  const auto file = TokenFilePath();
  auto saved = file ? LoadToken(*file) : std::nullopt;
  if (!saved) return std::nullopt;
  const auto exp = ReadTokenExpiry(*saved);
  if (!exp || *exp <= static_cast<int64_t>(std::time(nullptr))) {
    err_ << "noxtokenctl: the saved token in " << file->string()
         << (exp ? " has expired" : " is not readable")
         << "; log in again with: noxtokenctl login --user NAME\n";
    return std::nullopt;
  }
  credentialOrigin_ = "the saved token";
  return saved;
}

SecurityCtx Session::CurrentCredential() {
  const auto token = CurrentToken();
  return token ? TokenCtx(*token) : SecurityCtx{};
}

std::optional<JsonPtr> Session::Call(const std::string& service, const std::string& operation,
                                     JsonPtr input, SecurityCtx credential) {
  ApiCall call{service, operation, std::move(input), std::move(credential), options_.opId};
  ApiResult result;
  try {
    result = Invoke(options_.endpoint, call);
  } catch (const CtlError& error) {
    throw CtlError(error.Code(), options_.url + ": " + error.what());
  }
  if (!result.isError) return std::move(result.value);
  err_ << "noxtokenctl: " << ErrorView(*result.value);
  const std::string hint = RefusalHint(
      *result.value, {service, operation, call.securityCtx, credentialOrigin_, options_.opId});
  if (!hint.empty()) err_ << "noxtokenctl: " << hint << "\n";
  if (options_.mode == OutputMode::kJson) out_ << Orbi::Json::Dump(*result.value) << "\n";
  return std::nullopt;
}

void Session::Show(const json_t& output, const TextView& view) {
  if (options_.mode == OutputMode::kJson) {
    if (json_typeof(&output) != JSON_NULL) out_ << Orbi::Json::Dump(output) << "\n";
    return;
  }
  out_ << (view ? view(output) : GenericView(output));
}

ExitCode Session::Run(const std::string& service, const std::string& operation, JsonPtr input,
                      SecurityCtx credential, const TextView& view) {
  auto output = Call(service, operation, std::move(input), std::move(credential));
  if (!output) return ExitCode::kApiError;
  Show(**output, view);
  return ExitCode::kOk;
}

}  // namespace NoxCtl
