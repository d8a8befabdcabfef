#include "apps/noxtokend/noxTokenApi.h"

#include "apps/noxtokend/orbi/clientProfileImpl.h"
#include "apps/noxtokend/orbi/entitlements.h"
#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "apps/noxtokend/orbi/externalSts/externalJwtHandler.h"
#include "apps/noxtokend/orbi/externalSts/samlIssuerBinding.h"
#include "apps/noxtokend/orbi/externalSts/securityTokenIssuersImpl.h"
#include "apps/noxtokend/orbi/jwtEntitlementsAuthzFilter.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "apps/noxtokend/orbi/secret.h"
#include "apps/noxtokend/orbi/tokenImpl.h"
#include "apps/noxtokend/orbi/tokenVerifyImpl.h"
#include "apps/zeph-services/common/opIdProvider.h"
#include "platform/authn/tokenHandler.h"
#include "platform/basalt/app.h"
#include "platform/basalt/features.h"
#include "platform/configstore/configStore.h"
#include "platform/orbi/introspection.h"
#include "platform/orbi/openSslSignatureVerifier.h"
#include "platform/orbi/samlVerifierFilter.h"
#include "tarnOrbi/basaltWrapLogger.h"
#include "tarnOrbi/samlVerifyKeyExtractor.h"
#include "tarnOrbi/userPassHandler.h"

namespace NoxToken::NoxTokenApi {

using Basalt::Service::Logger;
namespace Auth = Com::Tessel::Nox::Authentication;

namespace {

std::shared_ptr<Orbi::Authn::AuthnHandler> CreateUserPassHandler(
    const Orbi::Core::Enqueuer& enqueuer) {
  return std::make_shared<TarnOrbi::Authn::UserPassHandler>(
      Basalt::System::AuthenticateUserDeferringDelay,
      Logger::CreateLogger("NoxTokenUserPassHandler"), enqueuer,
      [](std::chrono::microseconds delay, std::function<void()> work) {
        Basalt::Service::GetApp()->RunAfter(delay, std::move(work));
      });
}

Orbi::Authn::AuthnObserverPtr ObserverFor(
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics, Nox::Metrics::AuthnScheme scheme) {
  return metrics ? metrics->AuthnObserverFor(scheme) : nullptr;
}

// Every operation of every service the local provider serves, for the call counters.
Nox::Metrics::ServiceOperations ServedOperations(
    const Orbi::Provider::AsyncLocalProvider& localProvider) {
  Nox::Metrics::ServiceOperations served;
  for (const auto& id : localProvider.ListServices()) {
    std::vector<std::string> names;
    if (auto def = localProvider.FindService(id)) {
      for (const auto& operation : def->operations) names.push_back(operation.name);
    }
    served.emplace_back(id, std::move(names));
  }
  return served;
}

// Counts store write failures of the store the services share; opened here only when used.
void CountStoreWriteFailures(const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics) {
  NoxConfigStore::ConfigStore::GetStore(NoxConfigStore::sGlobalNamespace)
      ->SetWriteFailureObserver([metrics] { metrics->CountStoreWriteFailure(); });
}

}  // namespace

void AttachExternalSts(const Orbi::Core::Enqueuer& enqueuer,
                       const std::shared_ptr<ClientProfileAccess>& profiles,
                       const std::shared_ptr<Orbi::Provider::AsyncLocalProvider>& localProvider,
                       Orbi::Core::ProviderPtr& outermost, std::vector<SchemeHandler>& handlers,
                       const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics) {
  namespace Issuers = Auth::Trust::SecurityTokenIssuersSvc;
  auto issuers = std::make_shared<Issuers::CertificateChainsContainer>();
  auto localizer = Auth::CreateLocalizer();
  localProvider->AddInterface(Issuers::AsyncServiceBinder::BindImplementation(
      std::make_shared<Issuers::SecurityTokenIssuersImpl>(issuers), localizer));
  localProvider->AddInterface(Auth::ClientProfilesSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Auth::ClientProfileImpl>(profiles), localizer));

  outermost = std::make_shared<JwtEntitlementsAuthzFilter>(
      enqueuer, outermost,
      std::make_shared<TarnOrbi::BasaltWrapLoggger>(Logger::CreateLogger("AuthzHandler")));
  auto samlLogger = Logger::CreateLogger("SamlHokHandler");
  // The filter and the handlers verify with registered certificates: one cache decodes each once.
  auto decoded = std::make_shared<Basalt::Crypto::CertificateCache>();
  outermost = std::make_shared<Orbi::Authn::Filter::AsyncAuthnFilter>(
      outermost,
      std::make_shared<TarnOrbi::Authn::SamlHokHandler>(
          MakeSamlCertificateProvider(issuers), samlLogger, MakeSamlEnrichment(issuers, samlLogger),
          Basalt::System::SystemUtcClock(), decoded),
      ObserverFor(metrics, Nox::Metrics::AuthnScheme::kSamlHok));
  auto samlVerifyLogger = Logger::CreateLogger("OrbiSamlVerifyFilter");
  outermost = std::make_shared<Orbi::Security::AsyncSamlVerifierFilter>(
      outermost, Orbi::Security::CreateOpenSslSignatureVerifierFactory(),
      TarnOrbi::SamlVerifyKeyExtractor(MakeSamlCertificateProvider(issuers), samlVerifyLogger,
                                       Basalt::System::SystemUtcClock(), decoded),
      std::make_shared<TarnOrbi::BasaltWrapLoggger>(samlLogger), 600);

  handlers.push_back(
      {std::make_shared<Nox::Authn::ExternalJwtHandler>(
           Logger::CreateLogger("External JWT Handler"), issuers, localizer, nullptr, decoded),
       Nox::Metrics::AuthnScheme::kExternalJwt});
}

Orbi::Core::ProviderPtr CreateLocalProvider(
    Orbi::Core::Enqueuer enqueuer, std::shared_ptr<Logger> orbiLogger,
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics) {
  bool externalSts = FeatureList[FeatureTable::kExternalSts];
  std::shared_ptr<ClientProfileAccess> profiles;
  if (externalSts) profiles = CreateClientProfileAccess();

  auto tokenImpl = std::make_shared<Auth::TokenImpl>(MakeEntitlementsFn(profiles),
                                                     Logger::CreateLogger("TokenImpl"));
  auto verifyImpl =
      std::make_shared<Auth::TokenVerifyImpl>(Logger::CreateLogger("TokenVerifyImpl"));
  std::vector<Orbi::Provider::InterfacePtr> interfaces{
      Auth::TokenSvc::AsyncServiceBinder::BindImplementation(tokenImpl, Auth::CreateLocalizer()),
      Auth::VerificationSvc::AsyncServiceBinder::BindImplementation(verifyImpl)};

  auto container = std::make_shared<Orbi::Provider::InterfaceContainer>(std::move(interfaces));
  auto localProvider = std::make_shared<Orbi::Provider::AsyncLocalProvider>(enqueuer, container);
  localProvider->AddInterface(Orbi::Provider::CreateOperationIntrospection(localProvider));
  localProvider->AddInterface(Orbi::Provider::CreateProviderIntrospection(localProvider));
  localProvider->AddInterface(Orbi::Provider::CreateServiceIntrospection(localProvider));
  Orbi::Core::ProviderPtr outermost = localProvider;

  std::vector<SchemeHandler> handlers{
      {CreateUserPassHandler(enqueuer), Nox::Metrics::AuthnScheme::kPassword}};

  auto samlLogger = Logger::CreateLogger("SamlHokHandler");
  if (!externalSts) {
    samlLogger->Log(5, "Not initializing External STS: FSS disabled");
  } else {
    AttachExternalSts(enqueuer, profiles, localProvider, outermost, handlers, metrics);
    if (metrics) CountStoreWriteFailures(metrics);
  }

  auto jwtLogger = Logger::CreateLogger("NoxtokendJWTHandler");
  handlers.push_back({std::make_shared<Nox::Authn::TokenHandler>(
                          std::make_shared<TarnOrbi::BasaltWrapLoggger>(jwtLogger),
                          Auth::CreateLocalizer(), [] { return Auth::Secret::Get(); }),
                      Nox::Metrics::AuthnScheme::kOwnToken});

  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
    outermost = std::make_shared<Orbi::Authn::Filter::AsyncAuthnFilter>(
        outermost, it->handler, ObserverFor(metrics, it->scheme));
  }
  std::shared_ptr<const Zeph::Common::BasaltOrbi::CallObserver> calls;
  if (metrics) {
    calls = metrics->ObserveCalls(ServedOperations(*localProvider),
                                  {Auth::TokenSvc::kServiceId, "create"});
  }
  return std::make_shared<Zeph::Common::BasaltOrbi::OpIdProvider>(outermost, orbiLogger, calls);
}

}  // namespace NoxToken::NoxTokenApi
