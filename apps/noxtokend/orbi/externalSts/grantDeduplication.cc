#include "apps/noxtokend/orbi/externalSts/grantDeduplication.h"

#include <set>
#include <string>
#include <utility>

namespace NoxToken {

void DeduplicateGrants(
    std::vector<std::shared_ptr<Com::Tessel::Nox::Authentication::ClientProfilesSvc::AccessGrant>>&
        grants) {
  // Names, not values: two unknown entitlements with different texts are different grants.
  std::set<std::pair<std::string, std::string>> seen;
  std::erase_if(grants, [&seen](const auto& grant) {
    if (!grant->entitlement) return false;
    return !seen.emplace(grant->resourceType.ToString(), grant->entitlement->ToString()).second;
  });
}

}  // namespace NoxToken
