#include "platform/basalt/serviceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>

#include "platform/basalt/sharedLibrary.h"

namespace Basalt::System {

namespace {

// libsystemd and what it pulls in (gcrypt, zstd, lz4) keep about 1 MB resident in a process that
// maps them; it is loaded only for the moment of a notice, and only under a service manager.
std::string Notify(const std::string& state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return {};
  const auto library = SharedLibrary::Open("libsystemd.so.0");
  if (!library) return "cannot notify the service manager: " + library.error();
  const auto notify = library->Bind<decltype(&sd_notify)>("sd_notify");
  if (notify == nullptr) return "cannot notify the service manager: no sd_notify";
  // Keep NOTIFY_SOCKET: the stop notice goes to the same manager later.
  int result = notify(0, state.c_str());
  if (result >= 0) return {};
  return std::string("cannot notify the service manager: ") + std::strerror(-result);
}

}  // namespace

std::string NotifyReady(const std::string& status) { return Notify("READY=1\nSTATUS=" + status); }

std::string NotifyStopping() { return Notify("STOPPING=1"); }

}  // namespace Basalt::System
