#include "apps/noxtokend/orbi/entitlements.h"

#include <set>

#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

namespace NoxToken {

namespace {

using ProfilePtr = ClientProfileAccess::ProfilePtr;

void AddGrants(const ProfilePtr& profile, std::set<std::string>& names) {
  if (!profile) return;
  for (const auto& grant : profile->grants) {
    // An entitlement that has no name cannot go into the claim; it is left out.
    if (grant && grant->entitlement && !grant->entitlement->IsUnknown()) {
      names.insert(grant->entitlement->ToString());
    }
  }
}

}  // namespace

std::shared_ptr<ClientProfileAccess> CreateClientProfileAccess() {
  return std::make_shared<ClientProfileAccess>(
      NoxConfigStore::ConfigStore::GetStore(NoxConfigStore::sGlobalNamespace));
}

Com::Tessel::Nox::Authentication::TokenImpl::EntitlementsFn MakeEntitlementsFn(
    std::shared_ptr<ClientProfileAccess> profiles) {
  return [profiles](const std::string& issuerAlias, const std::string& domain,
                    const std::string& userName, bool isExternal,
                    const std::vector<::Nox::Authn::AuthnData::StsGroup>& groups)
             -> std::optional<std::vector<std::string>> {
    if (!profiles) return std::nullopt;
    // One lookup per read lock, so a concurrent change is seen by the later lookups; grants are
    // read under the lock that guards them.
    std::set<std::string> names;
    for (const auto& group : groups) {
      Basalt::System::ScopedReadLock lock(*profiles);
      AddGrants(profiles->FindExternalGroup({issuerAlias, group.domain, group.name}), names);
    }
    {
      Basalt::System::ScopedReadLock lock(*profiles);
      AddGrants(isExternal ? profiles->FindExternalUser({issuerAlias, domain, userName})
                           : profiles->FindLocalUser(userName),
                names);
    }
    return std::vector<std::string>(names.begin(), names.end());
  };
}

}  // namespace NoxToken
