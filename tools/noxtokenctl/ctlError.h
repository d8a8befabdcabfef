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
// A usage error is followed by the command's usage line unless it concerns a file's content or a
// refusal of the client's own, where the reason says all.
class CtlError : public std::runtime_error {
 public:
  CtlError(ExitCode code, const std::string& message, bool showUsage = true)
      : std::runtime_error(message), code_(code), showUsage_(showUsage) {}
  ExitCode Code() const { return code_; }
  bool ShowUsage() const { return code_ == ExitCode::kUsage && showUsage_; }

 private:
  ExitCode code_;
  bool showUsage_;
};

// A file named on the command line cannot be read or does not hold what it should (exit 2).
inline CtlError FileError(const std::string& message) {
  return CtlError(ExitCode::kUsage, message, false);
}

}  // namespace NoxCtl
