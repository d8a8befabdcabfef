// Notices to the service manager that started the process (systemd's notify protocol). Without
// NOTIFY_SOCKET in the environment there is no service manager to tell and the calls do nothing.
// Thread-safe.
#pragma once

#include <string>

namespace Basalt::System {

// "READY=1" with a status line for `systemctl status`. Returns an error text, empty on success or
// when there is no service manager.
std::string NotifyReady(const std::string& status);

// "STOPPING=1": the process has begun to stop. Same return as NotifyReady.
std::string NotifyStopping();

}  // namespace Basalt::System
