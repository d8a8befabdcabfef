// `noxtokenctl status`: whether the daemon answers, its version and, when its metrics are on, a
// short summary of them.
#pragma once

#include <string>

#include "tools/noxtokenctl/session.h"

namespace NoxCtl {

struct StatusOptions {
  int metricsPort = 0;     // 0: metrics/portNum of `configPath`, when it names one
  std::string configPath;  // empty: the daemon's default configuration file
};

// 0 when the daemon answers (whatever its metrics do); 3 when it does not.
ExitCode Status(Session& session, const StatusOptions& options);

}  // namespace NoxCtl
