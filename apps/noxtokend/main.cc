// noxtokend: issues and verifies the host's API tokens on a loopback HTTP endpoint.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "apps/noxtokend/audit/auditCall.h"
#include "apps/noxtokend/audit/auditTargets.h"
#include "apps/noxtokend/audit/auditTrail.h"
#include "apps/noxtokend/metrics/metricsEndpoint.h"
#include "apps/noxtokend/noxTokenApi.h"
#include "apps/noxtokend/orbi/entitlements.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"
#include "apps/noxtokend/orbi/externalSts/externalTokenPolicy.h"
#include "apps/noxtokend/orbi/secret.h"
#include "apps/noxtokend/systemFactory.h"
#include "apps/noxtokend/tokenEndpoint.h"
#include "noxVersion.h"
#include "platform/basalt/allocatorTuning.h"
#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/features.h"
#include "platform/basalt/format.h"
#include "platform/basalt/hostPath.h"
#include "platform/basalt/httpSvc.h"
#include "platform/basalt/serviceManager.h"
#include "platform/configstore/configStore.h"
#include "platform/configstore/storeOwner.h"

namespace {

constexpr const char* kDefaultConfigPath = "/etc/tessel/cpservices/noxtoken/config.xml";
constexpr int64_t kDefaultPort = 9199;
// One arena per HTTP thread is enough: calls never allocate on more threads than that at once.
constexpr int kAllocatorArenas = 2;
constexpr std::chrono::seconds kAllocatorTrimPeriod{5};

constexpr const char* kUsage = R"(Usage: noxtokend [CONFIG_FILE]
       noxtokend --restore-default-profiles [CONFIG_FILE]
Issues and verifies the host's API tokens: a JSON-RPC API over HTTP on localhost.

CONFIG_FILE is the XML configuration file; without it the daemon reads
/etc/tessel/cpservices/noxtoken/config.xml. The daemon runs in the foreground
and logs to standard error until SIGTERM or SIGINT stops it.

Options:
  --help     print this help and exit
  --version  print the version and exit
  --restore-default-profiles
             with the daemon stopped: put the default client profiles (root
             with HOST:ADMINISTRATOR) back in the store as at the first start,
             print their names and exit; other profiles are kept
Only an exact first argument is an option; any other first argument is the
configuration file, unless it starts with '-' and names no file.

Configuration (elements below the root element):
  endpoint/portNum          TCP port on localhost (default 9199)
  metrics/portNum           serve GET /metrics (Prometheus text) on this localhost
                            port; without it no metrics are kept or served
  http/threads              connection threads, 1 to 64 (default 2)
  http/idleTimeoutSeconds   idle connection timeout (default 30)
  log/level                 level of every logger (default 5; 7 logs most)
  log/logger name="NAME"    level of the logger NAME
  log/callerBytesPerSecond  bytes of log lines a second one calling user's requests
                            may cause, the rest counted (default 8192; 0: no limit)
  externalTokens/audience   an accepted audience of external tokens (repeatable;
                            default: any)
  externalTokens/checkNotBefore  true: refuse external JWTs whose "nbf" or "iat"
                            lies in the future (default false)
  externalTokens/clockSkewSeconds  allowed "nbf"/"iat" and confirmation expiry skew,
                            0 to 86400 (default 60)
  externalTokens/checkConfirmationExpiry  true: refuse SAML holder-of-key assertions
                            whose confirmation NotOnOrAfter has passed (default false)
  audit/enabled             keep the audit trail, true or false (default true)
  audit/file                its JSON-lines file (default
                            /var/log/tessel/noxtokend/audit.log); SIGHUP reopens it
  audit/required            refuse a call whose record cannot be written (default false)
  audit/refusalBytesPerSecond  bytes of refusal records a second one calling user may
                            add, the rest counted (default 8192; 0: no limit)
  audit/recordUnknownUserNames  true: record a refused password's user name even when
                            no host user has it (default false)

Files:
  /etc/tessel/features.conf       feature switches "noxtokend" and "external_sts"
  /var/run/tessel/tokend-secret   token signing secret (32 bytes or more)
  /var/lib/tessel/configstore/    client profiles and trusted issuers
  /etc/pam.d/noxtokend            PAM service for user name and password
  /var/log/tessel/noxtokend/audit.log  audit trail, one JSON object per line

Environment:
  TESSEL_ROOT    resolve every fixed host path under this directory instead of /
  NOTIFY_SOCKET  set by systemd: readiness is reported once the endpoint listens
  JOURNAL_STREAM set by systemd: audit records also go to the journal

Exit status: 0 after a stop by signal; 255 when the daemon is switched off
(silently) or start-up fails ("Error: " and the reason on standard error), for
example when another process works on the same store.
)";

std::shared_ptr<Basalt::Service::Logger> gModuleLogger;

void ReportToServiceManager(const std::string& failure) {
  if (!failure.empty()) gModuleLogger->Log(3, "%1", failure);
}

void InitRuntime(const char* configArgument) {
  Basalt::System::SetSystemFactory(std::make_unique<NoxToken::System::SystemFactory>());
  Basalt::Service::InitApp(configArgument != nullptr
                               ? std::string(configArgument)
                               : Basalt::System::HostPath(kDefaultConfigPath));
}

// The TCP port at `key`, `fallback` when the key is absent.
uint16_t ReadPort(const Basalt::Service::Config& config, const std::string& key, int64_t fallback) {
  int64_t port = fallback;
  config.GetInt(key, port);
  if (port < 1 || port > 65535) {
    throw Basalt::Exception(key + " " + std::to_string(port) + " is not a TCP port number");
  }
  return static_cast<uint16_t>(port);
}

uint16_t ConfiguredPort() {
  return ReadPort(*Basalt::Service::GetApp()->GetConfig(), "endpoint/portNum", kDefaultPort);
}

// The metrics port, 0 when metrics are off.
uint16_t ConfiguredMetricsPort(uint16_t apiPort) {
  const auto config = Basalt::Service::GetApp()->GetConfig();
  int64_t given = 0;
  if (!config->GetInt("metrics/portNum", given)) return 0;
  const uint16_t port = ReadPort(*config, "metrics/portNum", 0);
  if (port == apiPort) throw Basalt::Exception("metrics/portNum must differ from endpoint/portNum");
  return port;
}

NoxConfigStore::ConfigStoreOptions HostStore() {
  return NoxConfigStore::ConfigStoreOptions::ForHost(NoxConfigStore::sGlobalNamespace);
}

// Without its schema file the store declares no default profiles: root would hold no
// administrator grant, and a restore would restore nothing.
void RequireSchemaFile() {
  const std::string path = HostStore().schemaDirectory + "/noxtokend.json";
  if (::access(path.c_str(), R_OK) != 0) {
    throw Basalt::Exception("cannot read the store's schema file " + path + ": " +
                            std::strerror(errno) + "; reinstall the package");
  }
}

bool SomethingListens(int64_t port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", std::to_string(port).c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const bool connected = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    close(fd);
    if (connected) return true;
  }
  return false;
}

// A restore grants what the defaults grant: it is recorded as the management services' changes
// are, by the host user who ran it. After the commit, so a loss is reported, not rolled back:
// this is the way back in.
void RecordRestore(NoxToken::Audit::Trail& trail,
                   const std::shared_ptr<NoxToken::ClientProfileAccess>& access,
                   const std::vector<std::string>& names,
                   const std::vector<NoxToken::ClientProfileAccess::ProfilePtr>& before) {
  const auto state = NoxToken::Audit::ProfileState(access);
  for (size_t i = 0; i < names.size(); ++i) {
    NoxToken::Audit::Record record;
    record.event = before[i] ? NoxToken::Audit::Event::kProfileChanged
                             : NoxToken::Audit::Event::kProfileCreated;
    record.timeMs = NoxToken::Audit::RecordTimeNow();
    record.callerUid = ::getuid();
    record.scheme = "none";
    record.service = "noxtokend";
    record.operation = "restore-default-profiles";
    record.target = names[i];
    if (before[i]) record.before = NoxToken::Audit::ProfileTarget(*before[i]);
    record.after = state(names[i]);
    if (!trail.Write(record)) {
      std::fprintf(stderr, "noxtokend: the audit record of restoring %s could not be written\n",
                   names[i].c_str());
    }
  }
}

// The way back for an administrator who removed every administrator profile. The daemon must be
// stopped: it keeps profiles in memory and would write its own view back on the next change.
int RestoreDefaultProfiles(const char* configArgument) {
  InitRuntime(configArgument);
  if (const int64_t port = ConfiguredPort(); SomethingListens(port)) {
    throw Basalt::Exception("something listens on localhost port " + std::to_string(port) +
                            ": stop the daemon first (systemctl stop noxtokend)");
  }
  const NoxConfigStore::StoreOwner owner(HostStore().directory);
  RequireSchemaFile();
  const auto trail = NoxToken::NoxTokenApi::CreateAuditTrail();
  if (trail && trail->RefusesChanges()) {
    throw Basalt::Exception("the audit trail " + trail->GetSettings().file +
                            " cannot be written and audit/required is set");
  }
  auto access = NoxToken::CreateClientProfileAccess();
  std::vector<NoxToken::ClientProfileAccess::ProfilePtr> before;
  auto names = access->RestoreDefaults(&before);
  if (trail) RecordRestore(*trail, access, names, before);
  std::printf("Restored the default client profiles:");
  for (const auto& name : names) std::printf(" %s", name.c_str());
  std::printf("\nStart the daemon again to use them.\n");
  return 0;
}

int Serve(int argc, char** argv, std::chrono::system_clock::time_point started) {
  Basalt::Service::LimitAllocatorArenas(kAllocatorArenas);
  InitRuntime(argc > 1 ? argv[1] : nullptr);
  gModuleLogger = Basalt::Service::Logger::sDefaultLogger;
  gModuleLogger->Log(5, "noxtokend version %1", Nox::kVersion);
  for (const auto& line : FeatureList.UnreadableLines()) {
    gModuleLogger->Log(2,
                       "Feature switch line '%1' in %2 is not 'name = on|off': the switch stays on",
                       line, FeaturesFilePath());
  }

  auto app = Basalt::Service::GetApp();
  const NoxConfigStore::StoreOwner owner(HostStore().directory);
  if (FeatureList[FeatureTable::kExternalSts]) RequireSchemaFile();
  const uint16_t port = ConfiguredPort();
  const uint16_t metricsPort = ConfiguredMetricsPort(port);
  // The endpoint's limits, the audit settings and the external token checks are read again
  // where they are used; reading them here completes the configuration, so that a bad value or a
  // misspelt element is reported before the port listens.
  Basalt::Http::HttpLimits::FromAppConfig();
  NoxToken::Audit::Settings::Read(*app->GetConfig());
  Nox::Authn::ExternalTokenPolicy::FromConfig(*app->GetConfig());
  app->ReportUnreadConfigKeys();
  // Only looked at: the key is loaded at the first token, as another component may write it later.
  for (const auto& problem : Com::Tessel::Nox::Authentication::Secret::Problems()) {
    gModuleLogger->Log(2, "%1", problem);
  }
  if (gModuleLogger->IsEnabled(5)) {
    gModuleLogger->Log(5, "Starting NOX Token CPS on port %1.", port);
    if (gModuleLogger->IsEnabled(5)) gModuleLogger->Log(5, "Port number: %1", port);
  }

  {
    std::shared_ptr<Nox::Metrics::DaemonMetrics> metrics;
    if (metricsPort != 0) {
      metrics = std::make_shared<Nox::Metrics::DaemonMetrics>(Nox::kVersion, started);
    }
    NoxToken::TokenEndpoint endpoint(port, gModuleLogger);
    NoxToken::OpenEndpoint(endpoint);
    NoxToken::CreateOrbiHttpRequestHandler(endpoint, metrics);
    // Declared after the endpoint, so released first: a scrape reads the endpoint's counts.
    std::shared_ptr<Basalt::Http::HttpSvc> scrape;
    if (metrics) {
      scrape = Nox::Metrics::ServeMetrics(metrics, metricsPort);
      gModuleLogger->Log(5, "Metrics on localhost port %1", metricsPort);
    }
    ReportToServiceManager(
        Basalt::System::NotifyReady(Basalt::Format("Serving on localhost port %1", endpoint.port)));
    Basalt::Service::TrimAllocatorPeriodically(*app, kAllocatorTrimPeriod);
    app->Run();
    ReportToServiceManager(Basalt::System::NotifyStopping());
  }
  // Handlers still queued on the stopped loops may hold the store; after a stop its database file
  // alone must be complete, a backup as it stands.
  NoxConfigStore::ConfigStore::CloseAll();
  return 0;
}

// A misspelt option would otherwise be read as the path of a configuration file.
bool UnknownOption(const char* argument) {
  if (argument == nullptr || argument[0] != '-' || ::access(argument, F_OK) == 0) return false;
  std::fprintf(stderr,
               "Error: unknown option '%s'; the options are --help, --version and "
               "--restore-default-profiles\n",
               argument);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const auto started = std::chrono::system_clock::now();
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("noxtokend %s\n", Nox::kVersion);
    return 0;
  }
  // Runtime errors, and any library failure alike: reported, never an abort.
  auto reported = [](const auto& run) {
    try {
      return run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Error: %s\n", e.what());
      return -1;
    }
  };
  // Recovery works on the store alone, also while the daemon is switched off.
  if (argc > 1 && std::strcmp(argv[1], "--restore-default-profiles") == 0) {
    if (UnknownOption(argc > 2 ? argv[2] : nullptr)) return -1;
    return reported([&] { return RestoreDefaultProfiles(argc > 2 ? argv[2] : nullptr); });
  }
  if (UnknownOption(argc > 1 ? argv[1] : nullptr)) return -1;
  FeatureState_Init();
  if (!FeatureList[FeatureTable::kNoxtokend]) return -1;
  return reported([&] { return Serve(argc, argv, started); });
}
