#include "tools/noxtokenctl/passwordInput.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

// Turns terminal echo off for its lifetime.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

std::string ReadLine() {
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string ReadPassword(const std::string& user, bool fromStdin) {
  std::string password;
  if (fromStdin) {
    password = ReadLine();
  } else {
    if (!::isatty(STDIN_FILENO)) {
      throw CtlError(ExitCode::kUsage,
                     "standard input is not a terminal: give the password with --password-stdin");
    }
    std::cerr << "Password for " << user << ": " << std::flush;
    EchoOff echoOff;
    password = ReadLine();
  }
  if (password.empty()) throw CtlError(ExitCode::kUsage, "no password given for " + user);
  return password;
}

}  // namespace NoxCtl
