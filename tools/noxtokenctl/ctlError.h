// Exit statuses of noxtokenctl and the failure that carries one to main.
#pragma once

#include <stdexcept>
#include <string>

namespace NoxCtl {

enum class ExitCode : int {
  kOk = 0,
  kApiError = 1,     // the daemon answered with an error value
  kUsage = 2,        // the command line (or a file it names) is wrong
  kUnreachable = 3,  // no answer from the daemon: connect, send or receive failed
  kProtocol = 4,     // an answer that is not a JSON-RPC result
};

// Thrown for every failure that ends the run; what() is the text shown after "noxtokenctl: ".
class CtlError : public std::runtime_error {
 public:
  CtlError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode Code() const { return code_; }

 private:
  ExitCode code_;
};

}  // namespace NoxCtl
