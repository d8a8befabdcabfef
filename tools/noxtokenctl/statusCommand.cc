#include "tools/noxtokenctl/statusCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform/basalt/config.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/hostPath.h"
#include "platform/orbi/frameworkIds.h"

namespace NoxCtl {

namespace {

constexpr const char* kDefaultConfigPath = "/etc/tessel/cpservices/noxtoken/config.xml";
constexpr const char* kServerPrefix = "noxtokend/";

JsonPtr Object() { return JsonPtr(json_object()); }

void SetString(json_t* object, const char* name, const std::string& value) {
  json_object_set_new(object, name, json_stringn(value.data(), value.size()));
}

// The metrics port: the option, else the configuration file's; 0, with the reason in `note`,
// when neither names one. A configuration the user cannot read leaves the summary out rather
// than failing the status.
int MetricsPort(const StatusOptions& options, std::string& note) {
  if (options.metricsPort != 0) return options.metricsPort;
  std::string path = options.configPath.empty() ? Basalt::System::HostPath(kDefaultConfigPath)
                                                : options.configPath;
  try {
    int64_t port = 0;
    auto config = Basalt::Service::Config::LoadFile(path);
    if (config->GetInt("metrics/portNum", port) && port > 0 && port < 65536) {
      return static_cast<int>(port);
    }
    note = "off (" + path + " has no metrics/portNum)";
  } catch (const Basalt::Exception& error) {
    note = std::string("unknown (") + error.what() + "; try --metrics-port)";
  }
  return 0;
}

// One "name{labels} value" line into the sums.
void AddSample(std::string_view line, std::map<std::string, double>& sums) {
  size_t space = line.find_last_of(' ');
  if (space == std::string_view::npos) throw CtlError(ExitCode::kProtocol, "not a sample line");
  double value = std::strtod(std::string(line.substr(space + 1)).c_str(), nullptr);
  std::string_view series = line.substr(0, space);
  size_t brace = series.find('{');
  std::string name(series.substr(0, brace));
  sums[name] += value;
  if (brace == std::string_view::npos) return;
  // Label values of this daemon hold no quotes or commas: split on them.
  std::string_view labels = series.substr(brace + 1);
  while (!labels.empty() && labels.front() != '}') {
    size_t equals = labels.find("=\"");
    size_t close = labels.find('"', equals + 2);
    if (equals == std::string_view::npos || close == std::string_view::npos) {
      throw CtlError(ExitCode::kProtocol, "malformed labels in: " + std::string(line));
    }
    sums[name + "{" + std::string(labels.substr(0, close + 1)) + "}"] += value;
    labels.remove_prefix(close + 1);
    if (!labels.empty() && labels.front() == ',') labels.remove_prefix(1);
  }
}

// The sums a summary shows, from a scrape in the Prometheus text format: each sample's value is
// added under its metric name and under "name{label=value}" for each of its labels.
std::map<std::string, double> SumSamples(std::string_view text) {
  std::map<std::string, double> sums;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.front() != '#') AddSample(line, sums);
  }
  return sums;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
  return text;
}

// The summary object: figures that an operator checks first.
JsonPtr Summary(const std::map<std::string, double>& sums) {
  auto get = [&sums](const std::string& key) {
    auto it = sums.find(key);
    return it == sums.end() ? 0.0 : it->second;
  };
  JsonPtr summary = Object();
  auto set = [&summary](const char* name, double value) {
    json_object_set_new(summary.get(), name, json_integer(static_cast<json_int_t>(value)));
  };
  const double calls = get("noxtokend_calls_total");
  set("calls", calls);
  set("failed_calls", calls - get("noxtokend_calls_total{outcome=\"success\"}"));
  set("authentications_accepted", get("noxtokend_authentications_total{outcome=\"accepted\"}"));
  set("authentications_refused", get("noxtokend_authentications_total{outcome=\"refused\"}"));
  const double issued = get("noxtokend_token_issuance_seconds_count");
  set("tokens_issued", issued);
  json_object_set_new(
      summary.get(), "mean_issuance_seconds",
      json_real(issued > 0 ? get("noxtokend_token_issuance_seconds_sum") / issued : 0));
  set("connections_open", get("noxtokend_connections_open"));
  set("connections_evicted", get("noxtokend_connections_evicted_total"));
  set("connections_refused", get("noxtokend_connections_refused_total"));
  set("password_attempts_throttled", get("noxtokend_password_throttled_total"));
  set("store_write_failures", get("noxtokend_store_write_failures_total"));
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double started = get("process_start_time_seconds");
  set("uptime_seconds", started > 0 ? std::floor(now - started) : 0);
  return summary;
}

std::string StatusView(const json_t& status) {
  auto text = [&status](const char* name) {
    const char* value = json_string_value(json_object_get(&status, name));
    return std::string(value ? value : "");
  };
  std::ostringstream out;
  out << "daemon:   answering at " << text("url") << "\n";
  out << "version:  " << text("version") << "\n";
  const json_t* summary = json_object_get(&status, "metrics");
  if (!json_is_object(summary)) {
    out << "metrics:  " << text("metrics_note") << "\n";
    return out.str();
  }
  auto n = [summary](const char* name) {
    return json_integer_value(json_object_get(summary, name));
  };
  out << "metrics:  " << text("metrics_url") << "\n";
  out << "  up " << n("uptime_seconds") << " s; " << n("calls") << " calls, " << n("failed_calls")
      << " failed\n";
  out << "  authentications: " << n("authentications_accepted") << " accepted, "
      << n("authentications_refused") << " refused; " << n("password_attempts_throttled")
      << " password attempts throttled\n";
  out << "  tokens issued: " << n("tokens_issued") << ", mean "
      << Seconds(json_real_value(json_object_get(summary, "mean_issuance_seconds"))) << "\n";
  out << "  connections: " << n("connections_open") << " open, " << n("connections_evicted")
      << " evicted, " << n("connections_refused") << " refused\n";
  out << "  store write failures: " << n("store_write_failures") << "\n";
  return out.str();
}

}  // namespace

ExitCode Status(Session& session, const StatusOptions& options) {
  const SessionOptions& where = session.Options();
  ApiCall probe{Orbi::Ids::kIntrospectionProvider, "get", nullptr, {}, where.opId};
  HttpAnswer answer;
  try {
    answer = PostJson(where.endpoint, EncodeRequest(probe), "application/json");
    DecodeAnswer(answer);
  } catch (const CtlError& error) {
    throw CtlError(error.Code(), where.url + ": " + error.what());
  }
  JsonPtr status = Object();
  SetString(status.get(), "url", where.url);
  std::string version = answer.server.starts_with(kServerPrefix)
                            ? answer.server.substr(std::string_view(kServerPrefix).size())
                            : "unknown";
  SetString(status.get(), "version", version);

  std::string note;
  const int port = MetricsPort(options, note);
  if (port == 0) {
    SetString(status.get(), "metrics_note", note);
  } else {
    HttpEndpoint metrics{where.endpoint.host, std::to_string(port), "/metrics"};
    std::string url = "http://" + metrics.host + ":" + metrics.port + metrics.target;
    try {
      HttpAnswer scrape = Get(metrics, "text/plain");
      if (scrape.status != 200) {
        throw CtlError(ExitCode::kProtocol, "status " + std::to_string(scrape.status));
      }
      SetString(status.get(), "metrics_url", url);
      json_object_set_new(status.get(), "metrics", Summary(SumSamples(scrape.body)).release());
    } catch (const CtlError& error) {
      SetString(status.get(), "metrics_note", url + " does not answer: " + error.what());
    }
  }
  session.Show(*status, StatusView);
  return ExitCode::kOk;
}

}  // namespace NoxCtl
