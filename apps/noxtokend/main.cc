// noxtokend: issues and verifies the host's API tokens on a loopback HTTP endpoint.
#include <cstdio>
#include <memory>
#include <string>

#include "apps/noxtokend/systemFactory.h"
#include "apps/noxtokend/tokenEndpoint.h"
#include "platform/basalt/allocatorTuning.h"
#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/features.h"
#include "platform/basalt/hostPath.h"

namespace {

constexpr const char* kDefaultConfigPath = "/etc/tessel/cpservices/noxtoken/config.xml";
constexpr int64_t kDefaultPort = 9199;
// One arena per HTTP thread is enough: calls never allocate on more threads than that at once.
constexpr int kAllocatorArenas = 2;
constexpr std::chrono::seconds kAllocatorTrimPeriod{5};

std::shared_ptr<Basalt::Service::Logger> gModuleLogger;

int Serve(int argc, char** argv) {
  Basalt::Service::LimitAllocatorArenas(kAllocatorArenas);
  Basalt::System::SetSystemFactory(std::make_unique<NoxToken::System::SystemFactory>());
  std::string configPath =
      argc > 1 ? std::string(argv[1]) : Basalt::System::HostPath(kDefaultConfigPath);
  Basalt::Service::InitApp(configPath);
  gModuleLogger = Basalt::Service::Logger::sDefaultLogger;

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
    Basalt::Service::TrimAllocatorPeriodically(*app, kAllocatorTrimPeriod);
    app->Run();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Basalt::Service::RestartWithAllocatorTunables(argv);
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
