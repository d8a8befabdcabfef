#include "tools/noxtokenctl/guardRails.h"

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "tools/noxtokenctl/commandInput.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;

std::optional<JsonPtr> FetchFull(Session& session, const char* service) {
  JsonPtr input(json_object());
  json_object_set_new(input.get(), "projection", json_string("FULL"));
  return session.Call(service, "list", std::move(input), session.CurrentCredential());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

std::optional<JsonPtr> FetchProfiles(Session& session) {
  return FetchFull(session, Api::ClientProfilesSvc::kServiceId);
}

std::optional<JsonPtr> FetchIssuers(Session& session) {
  return FetchFull(session, Api::Trust::SecurityTokenIssuersSvc::kServiceId);
}

bool GrantsAdministrator(const json_t* grants) {
  size_t index;
  const json_t* grant;
  json_array_foreach(grants, index, grant) {
    if (StringMember(grant, "resource_type") == "HOST" &&
        StringMember(grant, "entitlement") == "ADMINISTRATOR") {
      return true;
    }
  }
  return false;
}

std::vector<std::string> AdministratorsAfter(const json_t& profiles, const GrantChange& change,
                                             const IssuerKept& kept) {
  std::vector<std::string> names;
  size_t index;
  const json_t* profile;
  json_array_foreach(&profiles, index, profile) {
    const std::string name = StringMember(profile, "profile");
    const json_t* grants = json_object_get(profile, "grants");
    JsonPtr changed =
        change ? change(name, *grants) : JsonPtr(json_incref(const_cast<json_t*>(grants)));
    const json_t* subject = json_object_get(profile, "subject");
    // The daemon only finds an external subject's profile through the issuer of its alias.
    const bool authenticates = StringMember(subject, "type") == "LOCAL_USER" || !kept ||
                               kept(StringMember(subject, "issuer_alias"));
    if (changed && GrantsAdministrator(changed.get()) && authenticates) names.push_back(name);
  }
  return names;
}

void GuardLastAdministrator(Session& session, const json_t& profiles, const json_t& issuers,
                            const GrantChange& change, const IssuerKept& kept, bool force) {
  const IssuerKept registered = [&issuers](const std::string& alias) {
    return HasIssuer(issuers, alias);
  };
  const auto before = AdministratorsAfter(profiles, nullptr, registered);
  const IssuerKept& after = kept ? kept : registered;
  if (before.empty() || !AdministratorsAfter(profiles, change, after).empty()) return;
  const auto stranded = AdministratorsAfter(profiles, change, nullptr);
  const std::string what =
      stranded.empty()
          ? "after this change no profile grants HOST:ADMINISTRATOR (now: " + Joined(before) +
                "), so no one could manage profiles or issuers"
          : "after this change no profile grants HOST:ADMINISTRATOR to a subject that can "
            "authenticate (now: " +
                Joined(before) + "; " + Joined(stranded) +
                " would name an alias no issuer has), so no one could manage profiles or issuers";
  if (!force) {
    throw CtlError(ExitCode::kUsage,
                   "refused: " + what +
                       "; add --force to make it anyway (noxtokend "
                       "--restore-default-profiles is the way back)",
                   false);
  }
  Warn(session, what);
}

void Warn(Session& session, const std::string& text) {
  session.Err() << "noxtokenctl: warning: " << text << "\n";
}

std::vector<std::string> ProfilesOfIssuer(const json_t& profiles, const std::string& alias) {
  std::vector<std::string> names;
  size_t index;
  const json_t* profile;
  json_array_foreach(&profiles, index, profile) {
    if (StringMember(json_object_get(profile, "subject"), "issuer_alias") == alias) {
      names.push_back(StringMember(profile, "profile"));
    }
  }
  return names;
}

bool HasIssuer(const json_t& issuers, const std::string& alias) {
  size_t index;
  const json_t* issuer;
  json_array_foreach(&issuers, index, issuer) {
    if (StringMember(issuer, "issuer_alias") == alias) return true;
  }
  return false;
}

}  // namespace NoxCtl
