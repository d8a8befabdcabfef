// noxtokend: issues and verifies the host's API tokens on a loopback HTTP endpoint.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "apps/noxtokend/systemFactory.h"
#include "apps/noxtokend/tokenEndpoint.h"
#include "noxVersion.h"
#include "platform/basalt/allocatorTuning.h"
#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/features.h"
#include "platform/basalt/format.h"
#include "platform/basalt/hostPath.h"
#include "platform/basalt/serviceManager.h"

namespace {

constexpr const char* kDefaultConfigPath = "/etc/tessel/cpservices/noxtoken/config.xml";
constexpr int64_t kDefaultPort = 9199;
// One arena per HTTP thread is enough: calls never allocate on more threads than that at once.
constexpr int kAllocatorArenas = 2;
constexpr std::chrono::seconds kAllocatorTrimPeriod{5};

constexpr const char* kUsage = R"(Usage: noxtokend [CONFIG_FILE]
Issues and verifies the host's API tokens: a JSON-RPC API over HTTP on localhost.

CONFIG_FILE is the XML configuration file; without it the daemon reads
/etc/tessel/cpservices/noxtoken/config.xml. The daemon runs in the foreground
and logs to standard error until SIGTERM or SIGINT stops it.

Options:
  --help     print this help and exit
  --version  print the version and exit
Only an exact first argument is an option; any other first argument is the
configuration file.

Configuration (elements below the root element):
  endpoint/portNum          TCP port on localhost (default 9199)
  http/threads              connection threads, 1 to 64 (default 2)
  http/idleTimeoutSeconds   idle connection timeout (default 30)
  log/level                 level of every logger (default 5; 7 logs most)
  log/logger name="NAME"    level of the logger NAME

Files:
  /etc/tessel/features.conf       feature switches "noxtokend" and "external_sts"
  /var/run/tessel/tokend-secret   token signing secret (32 bytes or more)
  /var/lib/tessel/configstore/    client profiles and trusted issuers
  /etc/pam.d/noxtokend            PAM service for user name and password

Environment:
  TESSEL_ROOT    resolve every fixed host path under this directory instead of /
  NOTIFY_SOCKET  set by systemd: readiness is reported once the endpoint listens

Exit status: 0 after a stop by signal; 255 when the daemon is switched off or
start-up fails ("Error: " and the reason on standard error).
)";

std::shared_ptr<Basalt::Service::Logger> gModuleLogger;

void ReportToServiceManager(const std::string& failure) {
  if (!failure.empty()) gModuleLogger->Log(3, "%1", failure);
}

int Serve(int argc, char** argv) {
  Basalt::Service::LimitAllocatorArenas(kAllocatorArenas);
  Basalt::System::SetSystemFactory(std::make_unique<NoxToken::System::SystemFactory>());
  std::string configPath =
      argc > 1 ? std::string(argv[1]) : Basalt::System::HostPath(kDefaultConfigPath);
  Basalt::Service::InitApp(configPath);
  gModuleLogger = Basalt::Service::Logger::sDefaultLogger;
  gModuleLogger->Log(5, "noxtokend version %1", Nox::kVersion);

  auto app = Basalt::Service::GetApp();
  int64_t port = kDefaultPort;
  {
    auto config = app->GetConfig();
    config->GetInt("endpoint/portNum", port);
  }
  if (port < 1 || port > 65535) {
    throw Basalt::Exception("endpoint/portNum " + std::to_string(port) +
                            " is not a TCP port number");
  }
  if (gModuleLogger->IsEnabled(5)) {
    gModuleLogger->Log(5, "Starting NOX Token CPS on port %1.", port);
    if (gModuleLogger->IsEnabled(5)) gModuleLogger->Log(5, "Port number: %1", port);
  }

  {
    NoxToken::TokenEndpoint endpoint(static_cast<uint32_t>(port), gModuleLogger);
    NoxToken::OpenEndpoint(endpoint);
    NoxToken::CreateOrbiHttpRequestHandler(endpoint);
    ReportToServiceManager(
        Basalt::System::NotifyReady(Basalt::Format("Serving on localhost port %1", endpoint.port)));
    Basalt::Service::TrimAllocatorPeriodically(*app, kAllocatorTrimPeriod);
    app->Run();
    ReportToServiceManager(Basalt::System::NotifyStopping());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("noxtokend %s\n", Nox::kVersion);
    return 0;
  }
  FeatureState_Init();
  if (!FeatureList[FeatureTable::kNoxtokend]) return -1;
  try {
    return Serve(argc, argv);
  } catch (const std::exception& e) {
    // Runtime errors, and any library failure alike: reported, never an abort.
    std::fprintf(stderr, "Error: %s\n", e.what());
    return -1;
  }
}
