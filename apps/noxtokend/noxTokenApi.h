// Builds the API provider chain once at start-up.
#pragma once

#include <memory>
#include <vector>

#include "apps/noxtokend/metrics/daemonMetrics.h"
#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/localProvider.h"

namespace NoxToken {
class ClientProfileAccess;
namespace Audit {
class Trail;
}
}  // namespace NoxToken

namespace NoxToken::NoxTokenApi {

// What the daemon accounts calls and authentications to; either part empty when it is off.
struct Accounting {
  std::shared_ptr<Audit::Trail> trail;
  std::shared_ptr<Nox::Metrics::DaemonMetrics> metrics;
};

// An authentication handler and what its filter tells of the answers that settle a call.
struct AuthnStage {
  Orbi::Authn::AuthnHandlerPtr handler;
  Orbi::Authn::AuthnObserver observer;
};

// The outermost provider: operation ids, then the authentication filters, the external-issuer
// filters (switch on), and the local provider with the services. Reads the external token checks
// and the audit settings from the app's configuration (none without an app); throws
// Basalt::Exception for a bad one. With `metrics`, calls and authentications are counted into it.
Orbi::Core::ProviderPtr CreateLocalProvider(
    Orbi::Core::Enqueuer enqueuer, std::shared_ptr<Basalt::Service::Logger> orbiLogger,
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics = nullptr);

// Adds what belongs to external issuers, whose tokens `policy` checks; `outermost` and `handlers`
// are updated in place. With a `trail` (empty when auditing is off), the handlers' refusals and
// the calls that pass the authentication filters are recorded. Services, filters and handlers
// render their messages with `localizer`.
void AttachExternalSts(const Orbi::Core::Enqueuer& enqueuer,
                       const Nox::Authn::ExternalTokenPolicy& policy,
                       const std::shared_ptr<ClientProfileAccess>& profiles,
                       const std::shared_ptr<Orbi::Provider::AsyncLocalProvider>& localProvider,
                       Orbi::Core::ProviderPtr& outermost, std::vector<AuthnStage>& handlers,
                       const Accounting& accounting,
                       const std::shared_ptr<const Orbi::L10n::Localizer>& localizer);

// The audit trail the configuration asks for ("audit/..."), its choice logged; empty when off.
std::shared_ptr<Audit::Trail> CreateAuditTrail();

}  // namespace NoxToken::NoxTokenApi
