#include "tools/noxtokenctl/commands.h"

#include <algorithm>
#include <optional>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "platform/orbi/json.h"
#include "tools/noxtokenctl/certificateFacts.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/guardRails.h"
#include "tools/noxtokenctl/textViews.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;
namespace Profiles = Api::ClientProfilesSvc;
namespace Issuers = Api::Trust::SecurityTokenIssuersSvc;
using ProfilesApi = Profiles::AsyncServiceBinder;
using IssuersApi = Issuers::AsyncServiceBinder;
constexpr const char* kProfilesService = Profiles::kServiceId;
constexpr const char* kIssuersService = Issuers::kServiceId;

// The input of `operation`, named and encoded as the service declares it.
template <class Api, class... A>
JsonPtr Input(std::string_view operation, const A&... args) {
  return Orbi::Json::ToJson(*Api::Input(operation, args...), Orbi::Json::Encoding::kClean);
}

template <class T>
JsonPtr Encoded(const T& value) {
  return Orbi::Json::ToJson(*Orbi::Bind::Codec<T>::Encode(value), Orbi::Json::Encoding::kClean);
}

// JSON that this client built or that the daemon answered, read as the service's codec reads it.
template <class T>
T Decoded(const json_t* json) {
  try {
    if (json) {
      if (auto value = Orbi::Json::FromJson(*json)) return Orbi::Bind::Codec<T>::Decode(*value);
    }
  } catch (const Basalt::Exception&) {
  }
  throw CtlError(ExitCode::kProtocol, "an answer without the form the service declares");
}

std::optional<std::string> Given(const std::string& value) {
  return value.empty() ? std::nullopt : std::optional<std::string>(value);
}

// The subject and issuer members shared by the create and filter specs.
template <class Spec>
Spec SubjectSpec(const ProfileOptions& options) {
  Spec spec{};
  spec.localUser = Given(options.localUser);
  spec.externalUser = Given(options.externalUser);
  spec.externalGroup = Given(options.externalGroup);
  spec.issuerAlias = Given(options.issuerAlias);
  spec.domain = Given(options.domain);
  return spec;
}

Profiles::GrantList Grants(const ProfileOptions& options) {
  Profiles::GrantList grants;
  for (const auto& text : options.grants) {
    grants.push_back(Decoded<std::shared_ptr<Profiles::AccessGrant>>(ParseGrant(text).get()));
  }
  return grants;
}

bool SameGrant(const Profiles::AccessGrant& a, const Profiles::AccessGrant& b) {
  return a.resourceType == b.resourceType && a.entitlement == b.entitlement;
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
Issuers::ChainList Chains(Session& session, const IssuerOptions& options) {
  std::vector<std::vector<std::string>> read;
  for (const auto& file : options.chainFiles) {
    JsonPtr chain = ReadCertChain(file);
    read.push_back(ChainPems(chain.get()));
    for (const auto& problem : ChainProblems(read, read.size() - 1)) {
      Warn(session, "--chain " + file + ": " + problem);
    }
  }
  Issuers::ChainList chains;
  for (auto& pems : read) {
    chains.push_back(
        std::make_shared<const Issuers::X509CertChain>(Issuers::X509CertChain{std::move(pems)}));
  }
  return chains;
}

template <class E>
std::optional<E> Projection(const std::string& upperCased) {
  return upperCased.empty() ? std::nullopt : std::optional<E>(E::FromString(upperCased));
}

}  // namespace

ExitCode ProfileList(Session& session, const ProfileOptions& options) {
  auto filter = SubjectSpec<Profiles::FilterSpec>(options);
  const bool filtered = filter.localUser || filter.externalUser || filter.externalGroup ||
                        filter.issuerAlias || filter.domain;
  const std::string projection = UpperCase(options.projection);
  return session.Run(kProfilesService, "list",
                     Input<ProfilesApi>("list", filtered ? std::optional(filter) : std::nullopt,
                                        Projection<Profiles::Projection>(projection)),
                     session.CurrentCredential(), [&projection](const json_t& list) {
                       return ProfileListView(list, projection);
                     });
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
  auto spec = SubjectSpec<Profiles::CreateSpec>(options);
  spec.grants = Grants(options);
  return session.Run(kProfilesService, "create", Input<ProfilesApi>("create", spec),
                     session.CurrentCredential(), nullptr);
}

ExitCode ProfileGet(Session& session, const ProfileOptions& options) {
  return session.Run(kProfilesService, "get", Input<ProfilesApi>("get", options.name),
                     session.CurrentCredential(), ProfileView);
}

namespace {

ExitCode SetGrants(Session& session, const std::string& profile, Profiles::GrantList grants) {
  return session.Run(kProfilesService, "set",
                     Input<ProfilesApi>("set", profile, Profiles::SetSpec{std::move(grants)}),
                     session.CurrentCredential(), nullptr);
}

// Refuses (unless forced) a change of one profile's grants that leaves no administrator.
bool GuardedChange(Session& session, const std::string& profile, const Profiles::GrantList* grants,
                   bool force) {
  const auto profiles = FetchProfiles(session);
  if (!profiles) return false;
  const auto issuers = FetchIssuers(session);
  if (!issuers) return false;
  const JsonPtr newGrants = grants ? Encoded(*grants) : JsonPtr();
  GuardLastAdministrator(
      session, **profiles, **issuers,
      [&](const std::string& name, const json_t& grants) {
        if (name != profile) return JsonPtr(json_incref(const_cast<json_t*>(&grants)));
        return newGrants ? JsonPtr(json_incref(newGrants.get())) : JsonPtr();
      },
      nullptr, force);
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
  Profiles::GrantList grants = Grants(options);
  if (!GuardedChange(session, options.name, &grants, options.force)) return ExitCode::kApiError;
  return SetGrants(session, options.name, std::move(grants));
}

ExitCode ProfileDelete(Session& session, const ProfileOptions& options) {
  if (!GuardedChange(session, options.name, nullptr, options.force)) return ExitCode::kApiError;
  return session.Run(kProfilesService, "delete", Input<ProfilesApi>("delete", options.name),
                     session.CurrentCredential(), nullptr);
}

namespace {

ExitCode ChangeGrants(Session& session, const ProfileOptions& options, bool add) {
  auto info = session.Call(kProfilesService, "get", Input<ProfilesApi>("get", options.name),
                           session.CurrentCredential());
  if (!info) return ExitCode::kApiError;
  auto grants = Decoded<Profiles::GrantList>(json_object_get(info->get(), "grants"));
  bool changed = false;
  for (auto& grant : Grants(options)) {
    const auto at = std::find_if(grants.begin(), grants.end(),
                                 [&](const auto& held) { return SameGrant(*held, *grant); });
    if (add && at == grants.end()) {
      grants.push_back(std::move(grant));
      changed = true;
    } else if (!add && at != grants.end()) {
      grants.erase(at);
      changed = true;
    }
  }
  if (!changed) {
    session.Err() << "noxtokenctl: " << options.name << ": no change, the grants "
                  << (add ? "are already there" : "are not there") << "\n";
    return ExitCode::kOk;
  }
  if (!add && !GuardedChange(session, options.name, &grants, options.force)) {
    return ExitCode::kApiError;
  }
  return SetGrants(session, options.name, std::move(grants));
}

}  // namespace

ExitCode ProfileGrant(Session& session, const ProfileOptions& options) {
  return ChangeGrants(session, options, true);
}

ExitCode ProfileRevoke(Session& session, const ProfileOptions& options) {
  return ChangeGrants(session, options, false);
}

ExitCode IssuerList(Session& session, const IssuerOptions& options) {
  const std::string projection = UpperCase(options.projection);
  return session.Run(kIssuersService, "list",
                     Input<IssuersApi>("list", Projection<Issuers::SummaryType>(projection)),
                     session.CurrentCredential(), [&projection](const json_t& list) {
                       return IssuerListView(list, projection);
                     });
}

ExitCode IssuerCreate(Session& session, const IssuerOptions& options) {
  if (options.chainFiles.empty()) {
    Warn(session,
         "no --chain: none of the issuer's tokens can be verified until it has one "
         "(noxtokenctl issuer set " +
             options.alias + " --chain FILE)");
  }
  const Issuers::CreateSpec spec{options.alias, options.issuer, Chains(session, options)};
  return session.Run(kIssuersService, "create", Input<IssuersApi>("create", spec),
                     session.CurrentCredential(), nullptr);
}

ExitCode IssuerGet(Session& session, const IssuerOptions& options) {
  return session.Run(kIssuersService, "get", Input<IssuersApi>("get", options.alias),
                     session.CurrentCredential(), IssuerView);
}

ExitCode IssuerSet(Session& session, const IssuerOptions& options) {
  Issuers::SetSpec spec;
  if (options.issuerGiven) spec.issuer = options.issuer;
  if (!options.chainFiles.empty()) spec.signing_cert_chains = Chains(session, options);
  return session.Run(kIssuersService, "set", Input<IssuersApi>("set", options.alias, spec),
                     session.CurrentCredential(), nullptr);
}

ExitCode IssuerDelete(Session& session, const IssuerOptions& options) {
  const auto profiles = FetchProfiles(session);
  if (!profiles) return ExitCode::kApiError;
  const auto issuers = FetchIssuers(session);
  if (!issuers) return ExitCode::kApiError;
  const std::vector<std::string> named = ProfilesOfIssuer(**profiles, options.alias);
  // Without --with-profiles the profiles stay but grant nothing: no issuer has their alias.
  GuardLastAdministrator(
      session, **profiles, **issuers,
      [&](const std::string& name, const json_t& grants) {
        if (options.withProfiles && std::find(named.begin(), named.end(), name) != named.end()) {
          return JsonPtr();
        }
        return JsonPtr(json_incref(const_cast<json_t*>(&grants)));
      },
      [&](const std::string& alias) {
        return alias != options.alias && HasIssuer(**issuers, alias);
      },
      options.force);
  const ExitCode code =
      session.Run(kIssuersService, "delete", Input<IssuersApi>("delete", options.alias),
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
    if (!session.Call(kProfilesService, "delete", Input<ProfilesApi>("delete", name),
                      session.CurrentCredential())) {
      return ExitCode::kApiError;
    }
    session.Err() << "noxtokenctl: deleted profile " << name << "\n";
  }
  return code;
}

ExitCode CallOperation(Session& session, const CallOptions& options) {
  JsonPtr input = options.input.empty() ? JsonPtr(json_object()) : ParseInputObject(options.input);
  return session.Run(options.service, options.operation, std::move(input),
                     session.CurrentCredential(), nullptr);
}

}  // namespace NoxCtl
