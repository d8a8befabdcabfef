// The client's own checks before a management change: a change that would leave no profile
// granting HOST:ADMINISTRATOR to a subject that can authenticate is refused unless forced, and
// likely mistakes are named on standard error. The daemon's answers are unchanged; these checks
// read its state first.
#pragma once

#include <jansson.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/noxtokenctl/session.h"

namespace NoxCtl {

// Every profile with subject and grants (the FULL projection), or nullopt after the daemon
// refused the listing (the error is then shown).
std::optional<JsonPtr> FetchProfiles(Session& session);
// Every issuer with name and chains (the FULL projection), as FetchProfiles.
std::optional<JsonPtr> FetchIssuers(Session& session);

// True when the grants (a list of access_grant) hold HOST:ADMINISTRATOR.
bool GrantsAdministrator(const json_t* grants);

// The new grants of a profile once the change is made, or null when the profile is dropped.
using GrantChange = std::function<JsonPtr(const std::string& profile, const json_t& grants)>;
// Whether an issuer with the alias is registered once the change is made.
using IssuerKept = std::function<bool(const std::string& alias)>;

// The names of the listed profiles that grant HOST:ADMINISTRATOR once `change` is made (null:
// none) and whose subject can still authenticate: a local user always, an external user or group
// only while an issuer has its alias (`kept`; null: every alias counts).
std::vector<std::string> AdministratorsAfter(const json_t& profiles, const GrantChange& change,
                                             const IssuerKept& kept);

// Throws CtlError(kUsage, without usage) when an administrator profile of a subject that can
// authenticate exists now (with `issuers`, the FULL listing) and none would after `change` and
// `kept` (null: the issuers stay), unless `force`; with `force` it warns instead.
void GuardLastAdministrator(Session& session, const json_t& profiles, const json_t& issuers,
                            const GrantChange& change, const IssuerKept& kept, bool force);

// "noxtokenctl: warning: " and the text, on standard error.
void Warn(Session& session, const std::string& text);

// The profile names that name the issuer alias.
std::vector<std::string> ProfilesOfIssuer(const json_t& profiles, const std::string& alias);

// True when an issuer of the list has the alias.
bool HasIssuer(const json_t& issuers, const std::string& alias);

}  // namespace NoxCtl
