// The three introspection services every local provider offers: provider, service, operation.
#pragma once

#include <memory>

#include "platform/orbi/localProvider.h"

namespace Orbi::Provider {

// Each holds the provider weakly: the provider owns the bound interfaces.
InterfacePtr CreateOperationIntrospection(std::weak_ptr<const AsyncLocalProvider> provider);
InterfacePtr CreateProviderIntrospection(std::weak_ptr<const AsyncLocalProvider> provider);
InterfacePtr CreateServiceIntrospection(std::weak_ptr<const AsyncLocalProvider> provider);

}  // namespace Orbi::Provider
