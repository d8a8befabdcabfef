// noxtokenctl's command line: parses it, runs the chosen command, returns the exit status
// (see ExitCode). Help and the version go to `out`; diagnostics and usage to `err`.
#pragma once

#include <ostream>

namespace NoxCtl {

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace NoxCtl
