#include "apps/noxtokend/noxTokenApi.h"

#include <boost/asio/post.hpp>

#include "apps/noxtokend/audit/auditProvider.h"
#include "apps/noxtokend/audit/auditRefusals.h"
#include "apps/noxtokend/audit/auditTargets.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "apps/noxtokend/orbi/clientProfileImpl.h"
#include "apps/noxtokend/orbi/entitlements.h"
#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "apps/noxtokend/orbi/externalSts/externalJwtHandler.h"
#include "apps/noxtokend/orbi/externalSts/messageIds.h"
#include "apps/noxtokend/orbi/externalSts/samlIssuerBinding.h"
#include "apps/noxtokend/orbi/externalSts/securityTokenIssuersImpl.h"
#include "apps/noxtokend/orbi/jwtEntitlementsAuthzFilter.h"
#include "apps/noxtokend/orbi/messageTable.h"
#include "apps/noxtokend/orbi/secret.h"
#include "apps/noxtokend/orbi/tokenImpl.h"
#include "apps/noxtokend/orbi/tokenVerifyImpl.h"
#include "apps/noxtokend/storeWriteProvider.h"
#include "apps/zeph-services/common/opIdProvider.h"
#include "platform/authn/tokenHandler.h"
#include "platform/basalt/app.h"
#include "platform/basalt/authenticateUser.h"
#include "platform/basalt/features.h"
#include "platform/basalt/workerPool.h"
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

// Host checks run on a few threads of their own, so a flood of password attempts never holds
// the connection loops that serve every other call; more waiting than the queue takes are refused.
constexpr size_t kPasswordCheckThreads = 2;
constexpr size_t kPasswordCheckQueue = 256;
// Changes come from administrators one command at a time; more waiting than this is a flood.
constexpr size_t kStoreWriteQueue = 64;

// The loop of the calling thread, to answer there work done on another thread.
Orbi::Core::Enqueuer AnswerOnCallingLoop() {
  auto& loop = Basalt::Service::GetApp()->CallingLoop();
  return [&loop](std::function<void()> work) {
    boost::asio::post(loop, Basalt::Service::CarryLogContext(std::move(work)));
  };
}

std::shared_ptr<Orbi::Authn::AuthnHandler> CreateUserPassHandler(
    const Orbi::Core::Enqueuer& enqueuer,
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics,
    const std::shared_ptr<const Orbi::L10n::Localizer>& localizer) {
  auto pool =
      std::make_shared<Basalt::System::WorkerPool>(kPasswordCheckThreads, kPasswordCheckQueue);
  TarnOrbi::Authn::UserPassHandler::Options options;
  options.delay = [](std::chrono::microseconds delay, std::function<void()> work) {
    Basalt::Service::GetApp()->RunAfter(delay, std::move(work));
  };
  options.offload = [pool](std::function<void()> work) { return pool->TryPost(std::move(work)); };
  options.returnTo = AnswerOnCallingLoop;
  // An attempt refused without a check is answered after PAM's usual failure delay: answered at
  // once, a guesser's refused attempts would come back as a flood in place of its checked ones.
  options.uncheckedPause = Basalt::System::kUsualFailDelay;
  options.throttle =
      std::make_shared<TarnOrbi::Authn::PasswordThrottle>(Logger::CreateLogger("PasswordThrottle"));
  options.throttled = [localizer, metrics](std::chrono::seconds wait) {
    if (metrics) metrics->CountThrottled();
    Orbi::L10n::Message message{Auth::MessageIds::kTooManyAttempts,
                                {{"seconds", std::to_string(wait.count())}}};
    return Orbi::Std::Unauthenticated({std::move(message)}).ToErrorValue(*localizer);
  };
  return std::make_shared<TarnOrbi::Authn::UserPassHandler>(
      Basalt::System::AuthenticateUserDeferringDelay,
      Logger::CreateLogger("NoxTokenUserPassHandler"), enqueuer, std::move(options));
}

Orbi::Core::ProviderPtr AuditCalls(Orbi::Core::ProviderPtr next,
                                   const std::shared_ptr<Audit::Trail>& trail,
                                   const Orbi::L10n::Localizer& localizer,
                                   Audit::StateFn profileState, Audit::StateFn issuerState,
                                   std::shared_ptr<Audit::ChangeRecords> changes) {
  if (!trail) return next;
  auto unavailable = Orbi::Std::InternalServerError({{Auth::MessageIds::kAuditUnavailable, {}}})
                         .ToErrorValue(localizer);
  return std::make_shared<Audit::AuditProvider>(std::move(next), trail, std::move(unavailable),
                                                std::move(profileState), std::move(issuerState),
                                                std::move(changes));
}

Audit::Subject ClaimedOwnToken(const Orbi::Core::ExecutionContext& context) {
  return Audit::ClaimedByToken(context, nullptr);
}

// What the filter of a `scheme` handler tells: its refusals to the audit trail (with the subject
// `claimed` reads), every settled answer to the metrics; empty when neither is on.
Orbi::Authn::AuthnObserver Observe(const Accounting& accounting, Nox::Metrics::AuthnScheme scheme,
                                   Audit::ClaimFn claimed) {
  Orbi::Authn::AuthnObserver audit, count;
  if (accounting.trail) {
    audit = Audit::RecordRefusals(accounting.trail, Nox::Metrics::SchemeLabel(scheme),
                                  std::move(claimed));
  }
  if (accounting.metrics) count = accounting.metrics->AuthnObserverFor(scheme);
  if (!audit || !count) return audit ? audit : count;
  return [audit = std::move(audit), count = std::move(count)](
             const Orbi::Core::ExecutionContext& context, const Orbi::Data::ErrorValue* refusal) {
    audit(context, refusal);
    count(context, refusal);
  };
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

std::shared_ptr<Audit::Trail> CreateAuditTrail() {
  auto logger = Logger::CreateLogger("Audit");
  auto app = Basalt::Service::GetApp();
  if (!app) return nullptr;
  auto settings = Audit::Settings::Read(*app->GetConfig());
  if (!settings.enabled) {
    logger->Log(5, "Audit trail disabled");
    return nullptr;
  }
  std::string why;
  auto journal = Basalt::System::Journal::OpenUnderSystemd(why);
  if (!why.empty()) logger->Log(3, "Audit records not sent to the journal: %1", why);
  logger->Log(5, "Audit trail to %1%2; %3; %4; %5", settings.file,
              journal ? " and the journal" : "",
              settings.required ? "required: a call whose record cannot be written is refused"
                                : "not required: a record that cannot be written is lost",
              settings.refusalBytesPerSecond == 0
                  ? std::string("refusal records not limited")
                  : "refusal records of one caller at most " +
                        std::to_string(settings.refusalBytesPerSecond) + " bytes a second",
              settings.recordUnknownUserNames ? "refused user names recorded as typed"
                                              : "refused user names recorded only for host users");
  auto trail = std::make_shared<Audit::Trail>(std::move(settings), logger, std::move(journal));
  app->OnHangup([trail] { trail->Reopen(); });
  return trail;
}

void AttachExternalSts(const Orbi::Core::Enqueuer& enqueuer,
                       const Nox::Authn::ExternalTokenPolicy& policy,
                       const std::shared_ptr<ClientProfileAccess>& profiles,
                       const std::shared_ptr<Orbi::Provider::AsyncLocalProvider>& localProvider,
                       Orbi::Core::ProviderPtr& outermost, std::vector<AuthnStage>& handlers,
                       const Accounting& accounting,
                       const std::shared_ptr<const Orbi::L10n::Localizer>& localizer) {
  namespace Issuers = Auth::Trust::SecurityTokenIssuersSvc;
  auto issuers = std::make_shared<Issuers::CertificateChainsContainer>();
  // Change records are written inside each change's transaction, before it stands.
  auto changes =
      accounting.trail ? std::make_shared<Audit::ChangeRecords>(accounting.trail) : nullptr;
  localProvider->AddInterface(Issuers::AsyncServiceBinder::BindImplementation(
      std::make_shared<Issuers::SecurityTokenIssuersImpl>(
          issuers, changes ? Audit::IssuerWitness(changes) : nullptr),
      localizer));
  localProvider->AddInterface(Auth::ClientProfilesSvc::AsyncServiceBinder::BindImplementation(
      std::make_shared<Auth::ClientProfileImpl>(profiles,
                                                changes ? Audit::ProfileWitness(changes) : nullptr),
      localizer));

  auto authz = std::make_shared<JwtEntitlementsAuthzFilter>(
      enqueuer, outermost,
      std::make_shared<TarnOrbi::BasaltWrapLoggger>(Logger::CreateLogger("AuthzHandler")),
      localProvider);
  outermost = AuditCalls(authz, accounting.trail, *localizer, Audit::ProfileState(profiles),
                         Audit::IssuerState(issuers), changes);
  if (Basalt::Service::GetApp()) {
    outermost = std::make_shared<StoreWriteProvider>(
        outermost, kStoreWriteQueue, AnswerOnCallingLoop,
        Orbi::Std::Error({{Auth::MessageIds::kStoreBusy, {}}}).ToErrorValue(*localizer),
        [authz](const Orbi::Core::MethodIdentifier& method,
                const Orbi::Core::ExecutionContext& context) {
          return authz->Admits(method, context);
        });
  }
  auto samlLogger = Logger::CreateLogger("SamlHokHandler");
  // The filter and the handlers verify with registered certificates: one cache decodes each once.
  auto decoded = std::make_shared<Basalt::Crypto::CertificateCache>();
  auto saml = std::make_shared<TarnOrbi::Authn::SamlHokHandler>(
      MakeSamlCertificateProvider(issuers), samlLogger,
      MakeSamlEnrichment(issuers, samlLogger, policy), Basalt::System::SystemUtcClock(), decoded);
  // A refused proof is a refused holder-of-key authentication, whichever filter refuses it.
  const auto samlObserver = Observe(accounting, Nox::Metrics::AuthnScheme::kSamlHok, nullptr);
  outermost =
      std::make_shared<Orbi::Authn::Filter::AsyncAuthnFilter>(outermost, saml, samlObserver);
  auto samlVerifyLogger = Logger::CreateLogger("OrbiSamlVerifyFilter");
  outermost = std::make_shared<Orbi::Security::AsyncSamlVerifierFilter>(
      outermost, Orbi::Security::CreateOpenSslSignatureVerifierFactory(),
      TarnOrbi::SamlVerifyKeyExtractor(MakeSamlCertificateProvider(issuers), samlVerifyLogger,
                                       Basalt::System::SystemUtcClock(), decoded,
                                       std::make_shared<SsoClient::VerifiedSamlTokenCache>()),
      std::make_shared<TarnOrbi::BasaltWrapLoggger>(samlLogger), 600,
      Basalt::System::SystemUtcClock(), std::make_shared<Orbi::Security::ProofReplayGuard>(),
      samlObserver);

  auto jwtLogger = Logger::CreateLogger("External JWT Handler");
  jwtLogger->Log(5, "External token checks: %1", policy.Describe());
  handlers.push_back({std::make_shared<Nox::Authn::ExternalJwtHandler>(
                          jwtLogger, issuers, localizer, nullptr, decoded, policy),
                      Observe(accounting, Nox::Metrics::AuthnScheme::kExternalJwt,
                              [alias = Audit::IssuerAliasLookup(issuers)](
                                  const Orbi::Core::ExecutionContext& context) {
                                return Audit::ClaimedByToken(context, alias);
                              })});
}

Orbi::Core::ProviderPtr CreateLocalProvider(
    Orbi::Core::Enqueuer enqueuer, std::shared_ptr<Logger> orbiLogger,
    const std::shared_ptr<Nox::Metrics::DaemonMetrics>& metrics) {
  bool externalSts = FeatureList[FeatureTable::kExternalSts];
  // Read whatever the switch, so that a bad value fails start-up either way.
  const auto app = Basalt::Service::GetApp();
  const auto policy = app ? Nox::Authn::ExternalTokenPolicy::FromConfig(*app->GetConfig())
                          : Nox::Authn::ExternalTokenPolicy{};
  std::shared_ptr<ClientProfileAccess> profiles;
  if (externalSts) profiles = CreateClientProfileAccess();
  // Every service, filter and handler renders its messages with this one.
  const auto localizer = Auth::CreateLocalizer();

  auto tokenImpl = std::make_shared<Auth::TokenImpl>(MakeEntitlementsFn(profiles));
  auto verifyImpl =
      std::make_shared<Auth::TokenVerifyImpl>(Logger::CreateLogger("TokenVerifyImpl"));
  std::vector<Orbi::Provider::InterfacePtr> interfaces{
      Auth::TokenSvc::AsyncServiceBinder::BindImplementation(tokenImpl, localizer),
      Auth::VerificationSvc::AsyncServiceBinder::BindImplementation(verifyImpl)};

  auto container = std::make_shared<Orbi::Provider::InterfaceContainer>(std::move(interfaces));
  auto localProvider = std::make_shared<Orbi::Provider::AsyncLocalProvider>(enqueuer, container);
  localProvider->AddInterface(Orbi::Provider::CreateOperationIntrospection(localProvider));
  localProvider->AddInterface(Orbi::Provider::CreateProviderIntrospection(localProvider));
  localProvider->AddInterface(Orbi::Provider::CreateServiceIntrospection(localProvider));
  Orbi::Core::ProviderPtr outermost = localProvider;

  const Accounting accounting{CreateAuditTrail(), metrics};
  std::vector<AuthnStage> handlers{
      {CreateUserPassHandler(enqueuer, metrics, localizer),
       Observe(accounting, Nox::Metrics::AuthnScheme::kUserPass,
               [keepUnknown =
                    accounting.trail && accounting.trail->GetSettings().recordUnknownUserNames](
                   const Orbi::Core::ExecutionContext& context) {
                 return Audit::ClaimedByUserName(context, keepUnknown);
               })}};

  auto samlLogger = Logger::CreateLogger("SamlHokHandler");
  if (!externalSts) {
    samlLogger->Log(5, "Not initializing External STS: FSS disabled");
    outermost = AuditCalls(outermost, accounting.trail, *localizer, nullptr, nullptr, nullptr);
  } else {
    AttachExternalSts(enqueuer, policy, profiles, localProvider, outermost, handlers, accounting,
                      localizer);
    if (metrics) CountStoreWriteFailures(metrics);
  }

  auto jwtLogger = Logger::CreateLogger("NoxtokendJWTHandler");
  handlers.push_back({std::make_shared<Nox::Authn::TokenHandler>(
                          std::make_shared<TarnOrbi::BasaltWrapLoggger>(jwtLogger), localizer,
                          []() -> const std::string& { return Auth::Secret::Get(); }),
                      Observe(accounting, Nox::Metrics::AuthnScheme::kOwnToken, ClaimedOwnToken)});

  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
    outermost = std::make_shared<Orbi::Authn::Filter::AsyncAuthnFilter>(outermost, it->handler,
                                                                        it->observer);
  }
  std::shared_ptr<const Zeph::Common::BasaltOrbi::CallObserver> calls;
  if (metrics) {
    calls = metrics->ObserveCalls(ServedOperations(*localProvider),
                                  {Auth::TokenSvc::kServiceId, "create"});
  }
  return std::make_shared<Zeph::Common::BasaltOrbi::OpIdProvider>(outermost, orbiLogger, calls);
}

}  // namespace NoxToken::NoxTokenApi
