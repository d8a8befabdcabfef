#include "tools/noxtokenctl/commands.h"

#include <algorithm>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "tools/noxtokenctl/certificateFacts.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/guardRails.h"
#include "tools/noxtokenctl/textViews.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;
constexpr const char* kProfilesService = Api::ClientProfilesSvc::kServiceId;
constexpr const char* kIssuersService = Api::Trust::SecurityTokenIssuersSvc::kServiceId;

JsonPtr Object() { return JsonPtr(json_object()); }

void SetString(json_t* object, const char* name, const std::string& value) {
  json_object_set_new(object, name, json_stringn(value.data(), value.size()));
}

void SetIfGiven(json_t* object, const char* name, const std::string& value) {
  if (!value.empty()) SetString(object, name, value);
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

constexpr size_t kNoGrant = static_cast<size_t>(-1);

size_t IndexOfGrant(const json_t* grants, const json_t* grant) {
  size_t index;
  const json_t* item;
  json_array_foreach(grants, index, item) {
    if (StringMember(item, "resource_type") == StringMember(grant, "resource_type") &&
        StringMember(item, "entitlement") == StringMember(grant, "entitlement")) {
      return index;
    }
  }
  return kNoGrant;
}

std::vector<std::string> ChainPems(const json_t* chain) {
  std::vector<std::string> pems;
  size_t index;
  const json_t* pem;
  json_array_foreach(json_object_get(chain, "cert_chain"), index, pem) {
    pems.emplace_back(json_is_string(pem) ? json_string_value(pem) : "");
  }
  return pems;
}

// Reads the chain files and warns of chains that cannot verify what the issuer signs.
json_t* Chains(Session& session, const IssuerOptions& options) {
  JsonPtr chains(json_array());
  for (const auto& file : options.chainFiles) {
    JsonPtr chain = ReadCertChain(file);
    for (const auto& problem : ChainProblems(ChainPems(chain.get()))) {
      Warn(session, "--chain " + file + ": " + problem);
    }
    json_array_append_new(chains.get(), chain.release());
  }
  return chains.release();
}

JsonPtr AliasInput(const IssuerOptions& options) {
  JsonPtr input = Object();
  SetString(input.get(), "issuer_alias", options.alias);
  return input;
}

}  // namespace

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
  if (!options.localUser.empty() && (!options.issuerAlias.empty() || !options.domain.empty())) {
    Warn(session, "--issuer-alias and --domain do not apply to a local user; they are dropped");
  } else if (options.localUser.empty() && !options.issuerAlias.empty()) {
    const auto issuers = FetchIssuers(session);
    if (!issuers) return ExitCode::kApiError;
    if (!HasIssuer(**issuers, options.issuerAlias)) {
      Warn(session, "no issuer is registered under the alias " + options.issuerAlias +
                        ": the profile grants nothing until one is (noxtokenctl issuer create)");
    }
  }
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

namespace {

ExitCode SetGrants(Session& session, const std::string& profile, json_t* grants) {
  JsonPtr spec = Object();
  json_object_set_new(spec.get(), "grants", grants);
  JsonPtr input = Object();
  SetString(input.get(), "profile", profile);
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kProfilesService, "set", std::move(input), session.CurrentCredential(),
                     nullptr);
}

// Refuses (unless forced) a change of one profile's grants that leaves no administrator.
bool GuardedChange(Session& session, const std::string& profile, const json_t* newGrants,
                   bool force) {
  const auto profiles = FetchProfiles(session);
  if (!profiles) return false;
  GuardLastAdministrator(
      session, **profiles,
      [&](const std::string& name, const json_t& grants) {
        if (name != profile) return JsonPtr(json_incref(const_cast<json_t*>(&grants)));
        return newGrants ? JsonPtr(json_incref(const_cast<json_t*>(newGrants))) : JsonPtr();
      },
      force);
  return true;
}

}  // namespace

ExitCode ProfileSet(Session& session, const ProfileOptions& options) {
  if (options.grants.empty() && !options.clear) {
    throw CtlError(ExitCode::kUsage,
                   "profile set replaces every grant: give each with --grant, or --clear to "
                   "leave the profile without grants");
  }
  if (!options.grants.empty() && options.clear) {
    throw CtlError(ExitCode::kUsage, "--clear and --grant exclude each other");
  }
  JsonPtr grants(Grants(options));
  if (!GuardedChange(session, options.name, grants.get(), options.force)) {
    return ExitCode::kApiError;
  }
  return SetGrants(session, options.name, grants.release());
}

ExitCode ProfileDelete(Session& session, const ProfileOptions& options) {
  if (!GuardedChange(session, options.name, nullptr, options.force)) return ExitCode::kApiError;
  return session.Run(kProfilesService, "delete", ProfileInput(options), session.CurrentCredential(),
                     nullptr);
}

namespace {

ExitCode ChangeGrants(Session& session, const ProfileOptions& options, bool add) {
  auto info =
      session.Call(kProfilesService, "get", ProfileInput(options), session.CurrentCredential());
  if (!info) return ExitCode::kApiError;
  JsonPtr grants(json_deep_copy(json_object_get(info->get(), "grants")));
  bool changed = false;
  for (const auto& text : options.grants) {
    JsonPtr grant = ParseGrant(text);
    const size_t at = IndexOfGrant(grants.get(), grant.get());
    if (add && at == kNoGrant) {
      json_array_append(grants.get(), grant.get());
      changed = true;
    } else if (!add && at != kNoGrant) {
      json_array_remove(grants.get(), at);
      changed = true;
    }
  }
  if (!changed) {
    session.Err() << "noxtokenctl: " << options.name << ": no change, the grants "
                  << (add ? "are already there" : "are not there") << "\n";
    return ExitCode::kOk;
  }
  if (!add && !GuardedChange(session, options.name, grants.get(), options.force)) {
    return ExitCode::kApiError;
  }
  return SetGrants(session, options.name, grants.release());
}

}  // namespace

ExitCode ProfileGrant(Session& session, const ProfileOptions& options) {
  return ChangeGrants(session, options, true);
}

ExitCode ProfileRevoke(Session& session, const ProfileOptions& options) {
  return ChangeGrants(session, options, false);
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
  if (options.chainFiles.empty()) {
    Warn(session,
         "no --chain: none of the issuer's tokens can be verified until it has one "
         "(noxtokenctl issuer set " +
             options.alias + " --chain FILE)");
  }
  json_object_set_new(spec.get(), "signing_cert_chains", Chains(session, options));
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
    json_object_set_new(spec.get(), "signing_cert_chains", Chains(session, options));
  }
  JsonPtr input = AliasInput(options);
  json_object_set_new(input.get(), "spec", spec.release());
  return session.Run(kIssuersService, "set", std::move(input), session.CurrentCredential(),
                     nullptr);
}

ExitCode IssuerDelete(Session& session, const IssuerOptions& options) {
  const auto profiles = FetchProfiles(session);
  if (!profiles) return ExitCode::kApiError;
  const std::vector<std::string> named = ProfilesOfIssuer(**profiles, options.alias);
  if (options.withProfiles) {
    GuardLastAdministrator(
        session, **profiles,
        [&](const std::string& name, const json_t& grants) {
          if (std::find(named.begin(), named.end(), name) != named.end()) return JsonPtr();
          return JsonPtr(json_incref(const_cast<json_t*>(&grants)));
        },
        options.force);
  }
  const ExitCode code = session.Run(kIssuersService, "delete", AliasInput(options),
                                    session.CurrentCredential(), nullptr);
  if (code != ExitCode::kOk || named.empty()) return code;
  if (!options.withProfiles) {
    std::string names;
    for (const auto& name : named) names += " " + name;
    Warn(session, "profiles still name the alias " + options.alias + ":" + names +
                      "; an issuer registered later under it would inherit their grants (delete "
                      "them, or use --with-profiles)");
    return code;
  }
  for (const auto& name : named) {
    JsonPtr input = Object();
    SetString(input.get(), "profile", name);
    if (!session.Call(kProfilesService, "delete", std::move(input), session.CurrentCredential())) {
      return ExitCode::kApiError;
    }
    session.Err() << "noxtokenctl: deleted profile " << name << "\n";
  }
  return code;
}

ExitCode CallOperation(Session& session, const CallOptions& options) {
  JsonPtr input = options.input.empty() ? Object() : ParseInputObject(options.input);
  return session.Run(options.service, options.operation, std::move(input),
                     session.CurrentCredential(), nullptr);
}

}  // namespace NoxCtl
