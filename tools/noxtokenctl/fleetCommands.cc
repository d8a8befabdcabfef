// export and apply: the host's profiles and issuers as one document that a configuration tool
// keeps, and the changes that make the daemon match it.
//
// The document:
//   {"issuers":  [{"alias": A, "issuer": NAME, "chains": [[PEM, ...], ...]}, ...],
//    "profiles": [{"type": "LOCAL_USER"|"EXTERNAL_GROUP"|"EXTERNAL_USER", "name": N,
//                  "issuer_alias": A, "domain": D, "grants": ["HOST:OPERATOR", ...]}, ...]}
// Issuers sorted by alias, profiles by the daemon's profile name; external subjects only carry
// "issuer_alias" and "domain".
#include <functional>
#include <map>
#include <set>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/bindings/securityTokenIssuersSvc.h"
#include "tools/noxtokenctl/certificateFacts.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/commands.h"
#include "tools/noxtokenctl/guardRails.h"
#include "tools/noxtokenctl/textTable.h"

namespace NoxCtl {
namespace {

namespace Api = Com::Tessel::Nox::Authentication;
constexpr const char* kProfilesService = Api::ClientProfilesSvc::kServiceId;
constexpr const char* kIssuersService = Api::Trust::SecurityTokenIssuersSvc::kServiceId;
constexpr size_t kMaxDocumentBytes = 16 * 1024 * 1024;

using Chains = std::vector<std::vector<std::string>>;

struct IssuerState {
  std::string issuer;
  Chains chains;  // standardized PEM
};

struct ProfileState {
  std::string type, name, issuerAlias, domain;
  std::set<std::string> grants;  // "HOST:OPERATOR"
  std::string profile;           // the daemon's name; empty for one only in the file
};

// Profiles are matched by subject: the daemon derives the name from it.
std::string SubjectKey(const ProfileState& p) {
  return p.type + '\n' + p.issuerAlias + '\n' + p.domain + '\n' + p.name;
}

struct HostState {
  std::map<std::string, IssuerState> issuers;    // by alias
  std::map<std::string, ProfileState> profiles;  // by SubjectKey
};

std::string GrantText(const json_t* grant) {
  const std::string entitlement = StringMember(grant, "entitlement");
  return StringMember(grant, "resource_type") + (entitlement.empty() ? "" : ":" + entitlement);
}

HostState ReadHost(const json_t& issuers, const json_t& profiles) {
  HostState host;
  size_t index;
  const json_t* item;
  json_array_foreach(&issuers, index, item) {
    IssuerState& issuer = host.issuers[StringMember(item, "issuer_alias")];
    issuer.issuer = StringMember(item, "issuer");
    size_t chainIndex;
    const json_t* chain;
    json_array_foreach(json_object_get(item, "signing_cert_chains"), chainIndex, chain) {
      issuer.chains.emplace_back();
      size_t pemIndex;
      const json_t* pem;
      json_array_foreach(json_object_get(chain, "cert_chain"), pemIndex, pem) {
        issuer.chains.back().push_back(StandardPem(CellText(pem)));
      }
    }
  }
  json_array_foreach(&profiles, index, item) {
    const json_t* subject = json_object_get(item, "subject");
    ProfileState profile{StringMember(subject, "type"),
                         StringMember(subject, "name"),
                         StringMember(subject, "issuer_alias"),
                         StringMember(subject, "domain"),
                         {},
                         StringMember(item, "profile")};
    size_t grantIndex;
    const json_t* grant;
    json_array_foreach(json_object_get(item, "grants"), grantIndex, grant) {
      profile.grants.insert(GrantText(grant));
    }
    host.profiles[SubjectKey(profile)] = std::move(profile);
  }
  return host;
}

// Reads and checks the document; every mistake is a FileError naming the file and the place.
class DocumentReader {
 public:
  explicit DocumentReader(std::string file) : file_(std::move(file)) {}

  HostState Read() {
    const std::string text = ReadOptionFile("-f", file_, kMaxDocumentBytes);
    json_error_t error;
    JsonPtr document(json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
    if (!document) Fail("line " + std::to_string(error.line) + ": " + error.text);
    if (!json_is_object(document.get())) Fail("the document is not a JSON object");
    Members(document.get(), "the document", {"issuers", "profiles"});
    HostState host;
    size_t index;
    const json_t* item;
    json_array_foreach(List(document.get(), "issuers", "the document"), index, item) {
      const std::string where = "issuers[" + std::to_string(index) + "]";
      Members(item, where, {"alias", "issuer", "chains"});
      const std::string alias = String(item, "alias", where, true);
      IssuerState issuer{String(item, "issuer", where, true), {}};
      size_t chainIndex;
      const json_t* chain;
      json_array_foreach(List(item, "chains", where), chainIndex, chain) {
        issuer.chains.push_back(Pems(chain, where + ".chains[" + std::to_string(chainIndex) + "]"));
      }
      if (!host.issuers.emplace(alias, std::move(issuer)).second) Fail(where + ": alias twice");
    }
    json_array_foreach(List(document.get(), "profiles", "the document"), index, item) {
      const std::string where = "profiles[" + std::to_string(index) + "]";
      ProfileState profile = Profile(item, where);
      if (!host.profiles.emplace(SubjectKey(profile), profile).second) {
        Fail(where + ": the subject twice");
      }
    }
    return host;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw FileError(file_ + ": " + what); }

  void Members(const json_t* object, const std::string& where,
               std::initializer_list<std::string_view> known) const {
    if (!json_is_object(object)) Fail(where + " is not an object");
    const char* name;
    const json_t* value;
    json_object_foreach(const_cast<json_t*>(object), name, value) {
      if (std::find(known.begin(), known.end(), name) == known.end()) {
        Fail(where + ": unknown member \"" + name + "\"");
      }
    }
  }

  const json_t* List(const json_t* object, const char* name, const std::string& where) const {
    const json_t* list = json_object_get(object, name);
    if (list != nullptr && !json_is_array(list)) Fail(where + "." + name + " is not a list");
    return list;
  }

  std::string String(const json_t* object, const char* name, const std::string& where,
                     bool required) const {
    const json_t* value = json_object_get(object, name);
    if (value == nullptr && !required) return "";
    if (!json_is_string(value) || json_string_length(value) == 0) {
      Fail(where + "." + name + " must be a non-empty string");
    }
    return json_string_value(value);
  }

  std::vector<std::string> Pems(const json_t* chain, const std::string& where) const {
    if (!json_is_array(chain)) Fail(where + " is not a list of PEM certificates");
    std::vector<std::string> pems;
    size_t index;
    const json_t* pem;
    json_array_foreach(chain, index, pem) {
      const auto blocks = SplitPemCertificates(json_is_string(pem) ? json_string_value(pem) : "");
      if (blocks.size() != 1)
        Fail(where + "[" + std::to_string(index) + "] is not one PEM certificate");
      pems.push_back(StandardPem(blocks.front()));
    }
    if (pems.empty()) Fail(where + " is empty");
    return pems;
  }

  ProfileState Profile(const json_t* item, const std::string& where) const {
    Members(item, where, {"type", "name", "issuer_alias", "domain", "grants"});
    ProfileState profile;
    profile.type = String(item, "type", where, true);
    profile.name = String(item, "name", where, true);
    const bool local = profile.type == "LOCAL_USER";
    if (!local && profile.type != "EXTERNAL_GROUP" && profile.type != "EXTERNAL_USER") {
      Fail(where + ".type must be LOCAL_USER, EXTERNAL_GROUP or EXTERNAL_USER");
    }
    profile.issuerAlias = String(item, "issuer_alias", where, !local);
    profile.domain = String(item, "domain", where, !local);
    if (local && !(profile.issuerAlias.empty() && profile.domain.empty())) {
      Fail(where + ": a LOCAL_USER has no issuer_alias or domain");
    }
    size_t index;
    const json_t* grant;
    json_array_foreach(List(item, "grants", where), index, grant) {
      try {
        profile.grants.insert(GrantText(ParseGrant(CellText(grant)).get()));
      } catch (const CtlError&) {
        Fail(where + ".grants[" + std::to_string(index) +
             "] must be HOST:ADMINISTRATOR, "
             "HOST:OPERATOR or HOST:READ_ONLY");
      }
    }
    return profile;
  }

  std::string file_;
};

// As the API takes them ({"cert_chain": [...]} each), or as the document holds them (lists).
json_t* ChainsJson(const Chains& chains, bool forApi = true) {
  json_t* list = json_array();
  for (const auto& chain : chains) {
    json_t* pems = json_array();
    for (const auto& pem : chain) json_array_append_new(pems, json_string(pem.c_str()));
    json_array_append_new(list, forApi ? json_pack("{s:o}", "cert_chain", pems) : pems);
  }
  return list;
}

json_t* GrantsJson(const std::set<std::string>& grants) {
  json_t* list = json_array();
  for (const auto& text : grants) json_array_append_new(list, ParseGrant(text).release());
  return list;
}

std::string Listed(const std::set<std::string>& grants) {
  std::string text;
  for (const auto& grant : grants) text += (text.empty() ? "" : ",") + grant;
  return text.empty() ? "(none)" : text;
}

struct Change {
  std::string text;
  std::string service, operation;
  JsonPtr input;
};

std::vector<Change> Plan(const HostState& host, const HostState& wanted, bool prune) {
  std::vector<Change> changes;
  for (const auto& [alias, issuer] : wanted.issuers) {
    auto found = host.issuers.find(alias);
    JsonPtr spec(json_pack("{s:s,s:o}", "issuer", issuer.issuer.c_str(), "signing_cert_chains",
                           ChainsJson(issuer.chains)));
    if (found == host.issuers.end()) {
      json_object_set_new(spec.get(), "issuer_alias", json_string(alias.c_str()));
      changes.push_back({"create issuer " + alias, kIssuersService, "create",
                         JsonPtr(json_pack("{s:o}", "spec", spec.release()))});
    } else if (found->second.issuer != issuer.issuer || found->second.chains != issuer.chains) {
      const std::string what = found->second.issuer != issuer.issuer ? "name" : "chains";
      changes.push_back(
          {"set issuer " + alias + " (" + what + ")", kIssuersService, "set",
           JsonPtr(json_pack("{s:s,s:o}", "issuer_alias", alias.c_str(), "spec", spec.release()))});
    }
  }
  for (const auto& [key, profile] : wanted.profiles) {
    auto found = host.profiles.find(key);
    if (found == host.profiles.end()) {
      const std::string member = profile.type == "LOCAL_USER"       ? "local_user"
                                 : profile.type == "EXTERNAL_GROUP" ? "external_group"
                                                                    : "external_user";
      JsonPtr spec(json_pack("{s:s,s:o}", member.c_str(), profile.name.c_str(), "grants",
                             GrantsJson(profile.grants)));
      if (!profile.issuerAlias.empty()) {
        json_object_set_new(spec.get(), "issuer_alias", json_string(profile.issuerAlias.c_str()));
        json_object_set_new(spec.get(), "domain", json_string(profile.domain.c_str()));
      }
      std::string subject = profile.type + " " + profile.name;
      if (!profile.issuerAlias.empty())
        subject += " of " + profile.issuerAlias + "/" + profile.domain;
      changes.push_back({"create profile " + subject + " " + Listed(profile.grants),
                         kProfilesService, "create",
                         JsonPtr(json_pack("{s:o}", "spec", spec.release()))});
    } else if (found->second.grants != profile.grants) {
      changes.push_back(
          {"set profile " + found->second.profile + " " + Listed(profile.grants), kProfilesService,
           "set",
           JsonPtr(json_pack("{s:s,s:{s:o}}", "profile", found->second.profile.c_str(), "spec",
                             "grants", GrantsJson(profile.grants)))});
    }
  }
  if (!prune) return changes;
  for (const auto& [key, profile] : host.profiles) {
    if (wanted.profiles.count(key) == 0) {
      changes.push_back({"delete profile " + profile.profile, kProfilesService, "delete",
                         JsonPtr(json_pack("{s:s}", "profile", profile.profile.c_str()))});
    }
  }
  for (const auto& [alias, issuer] : host.issuers) {
    if (wanted.issuers.count(alias) == 0) {
      changes.push_back({"delete issuer " + alias, kIssuersService, "delete",
                         JsonPtr(json_pack("{s:s}", "issuer_alias", alias.c_str()))});
    }
  }
  return changes;
}

// Whether an issuer will have the alias once the plan is made.
bool IssuerAfter(const HostState& host, const HostState& wanted, bool prune,
                 const std::string& alias) {
  return wanted.issuers.count(alias) != 0 || (!prune && host.issuers.count(alias) != 0);
}

std::string Described(const ProfileState& p) {
  return p.type + " " + p.name + (p.issuerAlias.empty() ? "" : " of " + p.issuerAlias);
}

// nullopt when a profile grants HOST:ADMINISTRATOR after the plan to a subject that can
// authenticate (a local user, or an external one whose alias an issuer will have); otherwise the
// administrator profiles that cannot, described.
std::optional<std::vector<std::string>> StrandedAdministrators(const HostState& host,
                                                               const HostState& wanted,
                                                               bool prune) {
  std::vector<std::string> stranded;
  bool found = false;
  auto consider = [&](const ProfileState& p) {
    if (p.grants.count("HOST:ADMINISTRATOR") == 0) return;
    if (p.type == "LOCAL_USER" || IssuerAfter(host, wanted, prune, p.issuerAlias)) found = true;
    stranded.push_back(Described(p));
  };
  for (const auto& [key, profile] : wanted.profiles) consider(profile);
  if (!prune) {
    for (const auto& [key, profile] : host.profiles) {
      if (wanted.profiles.count(key) == 0) consider(profile);
    }
  }
  if (found) return std::nullopt;
  return stranded;
}

std::optional<HostState> FetchHost(Session& session) {
  const auto issuers = FetchIssuers(session);
  if (!issuers) return std::nullopt;
  const auto profiles = FetchProfiles(session);
  if (!profiles) return std::nullopt;
  return ReadHost(**issuers, **profiles);
}

}  // namespace

ExitCode Export(Session& session) {
  const auto host = FetchHost(session);
  if (!host) return ExitCode::kApiError;
  JsonPtr issuers(json_array());
  for (const auto& [alias, issuer] : host->issuers) {
    json_array_append_new(issuers.get(), json_pack("{s:s,s:s,s:o}", "alias", alias.c_str(),
                                                   "issuer", issuer.issuer.c_str(), "chains",
                                                   ChainsJson(issuer.chains, false)));
  }
  std::map<std::string, const ProfileState*> byName;
  for (const auto& [key, profile] : host->profiles) byName[profile.profile] = &profile;
  JsonPtr profiles(json_array());
  for (const auto& [name, profile] : byName) {
    json_t* item =
        json_pack("{s:s,s:s}", "type", profile->type.c_str(), "name", profile->name.c_str());
    if (!profile->issuerAlias.empty() || !profile->domain.empty()) {
      json_object_set_new(item, "issuer_alias", json_string(profile->issuerAlias.c_str()));
      json_object_set_new(item, "domain", json_string(profile->domain.c_str()));
    }
    json_t* grants = json_array();
    for (const auto& grant : profile->grants)
      json_array_append_new(grants, json_string(grant.c_str()));
    json_object_set_new(item, "grants", grants);
    json_array_append_new(profiles.get(), item);
  }
  JsonPtr document(
      json_pack("{s:o,s:o}", "issuers", issuers.release(), "profiles", profiles.release()));
  session.Out() << JsonText(*document, JSON_INDENT(2)) << "\n";
  return ExitCode::kOk;
}

ExitCode Apply(Session& session, const ApplyOptions& options) {
  const HostState wanted = DocumentReader(options.file).Read();
  for (const auto& [alias, issuer] : wanted.issuers) {
    for (size_t i = 0; i < issuer.chains.size(); ++i) {
      for (const auto& problem : ChainProblems(issuer.chains, i)) {
        Warn(session, "issuer " + alias + " chain " + std::to_string(i + 1) + ": " + problem);
      }
    }
  }
  const auto host = FetchHost(session);
  if (!host) return ExitCode::kApiError;
  for (const auto& [key, profile] : wanted.profiles) {
    if (!profile.issuerAlias.empty() &&
        !IssuerAfter(*host, wanted, options.prune, profile.issuerAlias)) {
      Warn(session, "profile " + profile.type + " " + profile.name + " names the alias " +
                        profile.issuerAlias + ", which no issuer will have: it grants nothing");
    }
  }
  if (const auto stranded = StrandedAdministrators(*host, wanted, options.prune)) {
    std::string names;
    for (const auto& name : *stranded) names += (names.empty() ? "" : ", ") + name;
    throw FileError("refused: after applying " + options.file +
                    " no profile would grant HOST:ADMINISTRATOR" +
                    (names.empty() ? "; keep one in the file"
                                   : " to a subject that can authenticate (" + names +
                                         ": no issuer will have the alias); keep a local "
                                         "user's in the file, or the issuer"));
  }
  std::vector<Change> changes = Plan(*host, wanted, options.prune);
  if (changes.empty()) {
    session.Out() << "no changes\n";
    return ExitCode::kOk;
  }
  for (auto& change : changes) {
    if (options.dryRun) {
      session.Out() << "would " << change.text << "\n";
      continue;
    }
    if (!session.Call(change.service, change.operation, std::move(change.input),
                      session.CurrentCredential())) {
      session.Err() << "noxtokenctl: stopped at: " << change.text << "\n";
      return ExitCode::kApiError;
    }
    session.Out() << change.text << "\n";
  }
  return ExitCode::kOk;
}

}  // namespace NoxCtl
