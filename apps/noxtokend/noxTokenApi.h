// Builds the API provider chain once at start-up.
#pragma once

#include <memory>
#include <vector>

#include "apps/noxtokend/metrics/daemonMetrics.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/localProvider.h"

namespace NoxToken {
class ClientProfileAccess;
}

namespace NoxToken::NoxTokenApi {

// An authentication handler and the scheme its answers are counted under.
struct SchemeHandler {
  Orbi::Authn::AuthnHandlerPtr handler;
  Nox::Metrics::AuthnScheme scheme;
};

// The outermost provider: operation ids, then the authentication filters, the external-issuer
// filters (switch on), and the local provider with the services. With `metrics`, calls and
// authentications are counted into it.
Orbi::Core::ProviderPtr CreateLocalProvider(
    Orbi::Core::Enqueuer enqueuer, std::shared_ptr<Basalt::Service::Logger> orbiLogger,
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics = nullptr);

// Adds what belongs to external issuers; `outermost` and `handlers` are updated in place.
void AttachExternalSts(const Orbi::Core::Enqueuer& enqueuer,
                       const std::shared_ptr<ClientProfileAccess>& profiles,
                       const std::shared_ptr<Orbi::Provider::AsyncLocalProvider>& localProvider,
                       Orbi::Core::ProviderPtr& outermost, std::vector<SchemeHandler>& handlers,
                       const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics);

}  // namespace NoxToken::NoxTokenApi
