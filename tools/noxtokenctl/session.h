// What every command shares: the daemon's address, the output mode, the credential in force,
// and how results and API errors are shown. Used by one thread for one run.
#pragma once

#include <jansson.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/noxtokenctl/apiCall.h"
#include "tools/noxtokenctl/ctlError.h"
#include "tools/noxtokenctl/httpClient.h"

namespace NoxCtl {

enum class OutputMode { kText, kJson };

using SecurityCtx = std::vector<std::pair<std::string, std::string>>;
using TextView = std::function<std::string(const json_t&)>;

SecurityCtx UserPassCtx(const std::string& user, const std::string& password);
SecurityCtx TokenCtx(const std::string& token);

struct SessionOptions {
  std::string url;
  HttpEndpoint endpoint;
  OutputMode mode = OutputMode::kText;
  std::string token;  // --token, empty when not given
  std::string opId;
};

class Session {
 public:
  Session(SessionOptions options, std::ostream& out, std::ostream& err);

  // The token to present: --token, else NOXTOKEN_TOKEN, else the saved one until its "exp".
  // A saved token past its "exp" or unreadable is not sent; the user is told to log in again.
  std::optional<std::string> CurrentToken();
  SecurityCtx CurrentCredential();

  // Runs the call. On success returns the output; on an API error shows it (and, in JSON mode,
  // writes the error value to standard output) and returns nullopt. Throws CtlError(kUnreachable
  // or kProtocol) as Invoke does, with the URL added.
  std::optional<JsonPtr> Call(const std::string& service, const std::string& operation,
                              JsonPtr input, SecurityCtx credential);

  // Writes an output: in JSON mode as clean JSON (nothing for null), else through `view`, or
  // GenericView when `view` is empty.
  void Show(const json_t& output, const TextView& view);

  // Call and Show in one; the exit code of the outcome.
  ExitCode Run(const std::string& service, const std::string& operation, JsonPtr input,
               SecurityCtx credential, const TextView& view);

  const SessionOptions& Options() const { return options_; }

  // For a command's own output and notes to the user.
  std::ostream& Out() { return out_; }
  std::ostream& Err() { return err_; }
  bool JsonMode() const { return options_.mode == OutputMode::kJson; }

 private:
  SessionOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  std::string credentialOrigin_;  // what CurrentToken chose, for hints after a refusal
};

}  // namespace NoxCtl
