#include "platform/basalt/serviceManager.h"

#include <systemd/sd-daemon.h>

#include <cstring>

namespace Basalt::System {

namespace {

std::string Notify(const std::string& state) {
  // Keep NOTIFY_SOCKET: the stop notice goes to the same manager later.
  int result = sd_notify(0, state.c_str());
  if (result >= 0) return {};
  return std::string("cannot notify the service manager: ") + std::strerror(-result);
}

}  // namespace

std::string NotifyReady(const std::string& status) { return Notify("READY=1\nSTATUS=" + status); }

std::string NotifyStopping() { return Notify("STOPPING=1"); }

}  // namespace Basalt::System
