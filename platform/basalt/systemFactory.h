// The process's factory of system objects. A daemon may install its own subclass before the app
// is initialised; the runtime's objects are made through whichever factory is installed.
#pragma once

#include <memory>

#include "platform/basalt/tcpServerSocket.h"

namespace Basalt::System {

class SystemFactory {
 public:
  virtual ~SystemFactory();

  // A server socket on the app's event loop; throws Basalt::Exception before InitApp.
  virtual std::shared_ptr<TCPServerSocket> CreateTCPServerSocket();
};

// Installs the process's factory (before InitApp); the previous one is destroyed.
void SetSystemFactory(std::unique_ptr<SystemFactory> factory);

// The installed factory, or the runtime's own when none was installed.
SystemFactory& GetSystemFactory();

// Ends the process at once with `status`, flushing standard streams but running no destructors.
[[noreturn]] void QuickExit(int status);

}  // namespace Basalt::System
