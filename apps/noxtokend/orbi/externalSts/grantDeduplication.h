// Grants are a set in meaning but a list on the wire: of grants with the same resource type and
// the same entitlement only the first is kept. Grants without an entitlement are all kept.
#pragma once

#include <memory>
#include <vector>

#include "platform/bindings/clientProfiles.h"

namespace NoxToken {

void DeduplicateGrants(
    std::vector<std::shared_ptr<Com::Tessel::Nox::Authentication::ClientProfilesSvc::AccessGrant>>&
        grants);

}  // namespace NoxToken
