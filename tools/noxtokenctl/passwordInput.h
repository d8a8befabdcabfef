// Asks for a host user's password without ever putting it in argv, the environment or a file.
#pragma once

#include <string>

namespace NoxCtl {

// With `fromStdin`, one line of standard input without its line end. Otherwise a prompt on
// standard error and one line from the terminal with echo off (restored on every way out).
// Throws CtlError(kUsage) when the password would have to come from a terminal and standard
// input is none, or when the line is missing or empty.
std::string ReadPassword(const std::string& user, bool fromStdin);

}  // namespace NoxCtl
