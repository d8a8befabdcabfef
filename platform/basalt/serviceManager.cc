#include "platform/basalt/serviceManager.h"

#include <dlfcn.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace Basalt::System {

namespace {

struct LibraryCloser {
  void operator()(void* library) const { dlclose(library); }
};

// libsystemd and what it pulls in (gcrypt, zstd, lz4) keep about 1 MB resident in a process that
// maps them; it is loaded only for the moment of a notice, and only under a service manager.
std::string Notify(const std::string& state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return {};
  const std::unique_ptr<void, LibraryCloser> library(
      dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL));
  const auto notify =
      library ? reinterpret_cast<decltype(&sd_notify)>(dlsym(library.get(), "sd_notify")) : nullptr;
  if (notify == nullptr) {
    const char* error = dlerror();
    return std::string("cannot notify the service manager: ") + (error ? error : "no sd_notify");
  }
  // Keep NOTIFY_SOCKET: the stop notice goes to the same manager later.
  int result = notify(0, state.c_str());
  if (result >= 0) return {};
  return std::string("cannot notify the service manager: ") + std::strerror(-result);
}

}  // namespace

std::string NotifyReady(const std::string& status) { return Notify("READY=1\nSTATUS=" + status); }

std::string NotifyStopping() { return Notify("STOPPING=1"); }

}  // namespace Basalt::System
