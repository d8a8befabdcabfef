// The "entitlement" claim of daemon tokens: the union of the caller's own profile and its
// groups' profiles.
#pragma once

#include <memory>

#include "apps/noxtokend/orbi/tokenImpl.h"

namespace NoxToken {

class ClientProfileAccess;

// The client profile store over the host's configuration store.
std::shared_ptr<ClientProfileAccess> CreateClientProfileAccess();

// The callback token creation calls for the claim's names, sorted; no claim when `profiles` is
// empty (the external-issuer switch is off).
Com::Tessel::Nox::Authentication::TokenImpl::EntitlementsFn MakeEntitlementsFn(
    std::shared_ptr<ClientProfileAccess> profiles);

}  // namespace NoxToken
