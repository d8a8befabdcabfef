// What a refused command line is followed by: the nearest command or option to a misspelt word,
// and the usage line of the command that was reached, instead of the whole help.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace NoxCtl {

// The candidate closest to `word` by edit distance, or "" when none is close enough to be the
// likely intent (at most a third of the word's length, and at least one edit allowed).
std::string Nearest(std::string_view word, const std::vector<std::string>& candidates);

// For a parsed (or partly parsed) `app`: an optional "did you mean" line, the usage line of the
// deepest command reached, and where its help is. Each line ends with a line feed.
std::string ShortUsage(CLI::App& app, int argc, const char* const* argv);

}  // namespace NoxCtl
