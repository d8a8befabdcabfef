#include "platform/basalt/systemFactory.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"

namespace Basalt::System {

namespace {

std::mutex sFactoryMutex;
std::unique_ptr<SystemFactory> sFactory;

}  // namespace

SystemFactory::~SystemFactory() = default;

std::shared_ptr<TCPServerSocket> SystemFactory::CreateTCPServerSocket() {
  auto app = Service::GetApp();
  if (!app) throw Exception("cannot create a server socket before the application is initialised");
  return CreateAsioTCPServerSocket(app->GetIoContext(), [app]() -> boost::asio::io_context& {
    return app->NextConnectionContext();
  });
}

void SetSystemFactory(std::unique_ptr<SystemFactory> factory) {
  std::lock_guard lock(sFactoryMutex);
  sFactory = std::move(factory);
}

SystemFactory& GetSystemFactory() {
  std::lock_guard lock(sFactoryMutex);
  if (!sFactory) sFactory = std::make_unique<SystemFactory>();
  return *sFactory;
}

void QuickExit(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace Basalt::System
