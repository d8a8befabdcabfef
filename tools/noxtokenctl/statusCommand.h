// `noxtokenctl status`: whether the daemon answers, its version and, when its metrics are on, a
// short summary of them.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "tools/noxtokenctl/session.h"

namespace NoxCtl {

struct StatusOptions {
  int metricsPort = 0;     // 0: metrics/portNum of `configPath`, when it names one
  std::string configPath;  // empty: the daemon's default configuration file
};

// 0 when the daemon answers (whatever its metrics do); 3 when it does not.
ExitCode Status(Session& session, const StatusOptions& options);

// The sums a summary shows, from a scrape in the Prometheus text format: each sample's value is
// added under its metric name and under "name{label=value}" for each of its labels. Throws
// CtlError(kProtocol) for a line that is not a comment, a blank or a sample.
std::map<std::string, double> SumSamples(std::string_view text);

}  // namespace NoxCtl
