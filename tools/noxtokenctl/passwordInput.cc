#include "tools/noxtokenctl/passwordInput.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

constexpr size_t kMaxPasswordBytes = 4096;

// Puts the terminal in raw, silent input for its lifetime. Signals from the keyboard are off too,
// so an interrupt is read as a character and the terminal is restored before the process stops.
class SilentTerminal {
 public:
  SilentTerminal() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios silent = saved_;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    silent.c_cc[VMIN] = 1;
    silent.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) == 0;
  }
  ~SilentTerminal() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
  }
  SilentTerminal(const SilentTerminal&) = delete;
  SilentTerminal& operator=(const SilentTerminal&) = delete;

  const termios& Saved() const { return saved_; }

 private:
  termios saved_{};
  bool active_ = false;
};

enum class LineEnd { kNewline, kEndOfInput, kInterrupt };

// Reads up to the end of the line with the terminal's own erase and interrupt characters.
LineEnd ReadSilentLine(const termios& keys, std::string& line) {
  char c;
  while (::read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n' || c == '\r') return LineEnd::kNewline;
    if (c == static_cast<char>(keys.c_cc[VINTR])) return LineEnd::kInterrupt;
    if (c == static_cast<char>(keys.c_cc[VEOF]) && line.empty()) return LineEnd::kEndOfInput;
    if (c == static_cast<char>(keys.c_cc[VERASE]) || c == '\b' || c == '\x7f') {
      // Drop one character: its continuation bytes, then its lead byte.
      while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80) {
        line.pop_back();
      }
      if (!line.empty()) line.pop_back();
    } else if (line.size() < kMaxPasswordBytes) {
      line += c;
    }
  }
  return LineEnd::kEndOfInput;
}

}  // namespace

std::string ReadPassword(const std::string& user, bool fromStdin) {
  std::string password;
  if (fromStdin) {
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else {
    if (!::isatty(STDIN_FILENO)) {
      throw CtlError(ExitCode::kUsage,
                     "standard input is not a terminal: give the password with --password-stdin");
    }
    LineEnd end;
    {
      // Silent before the prompt shows, so nothing typed after it is echoed or discarded.
      SilentTerminal terminal;
      std::cerr << "Password for " << user << ": " << std::flush;
      end = ReadSilentLine(terminal.Saved(), password);
    }
    std::cerr << "\n";
    // Stop as the interrupt key would have, now that the terminal echoes again.
    if (end == LineEnd::kInterrupt) std::raise(SIGINT);
  }
  if (password.empty()) throw CtlError(ExitCode::kUsage, "no password given for " + user);
  return password;
}

}  // namespace NoxCtl
