// Log lines on a standard error that systemd's journal reads. The journal takes a line's priority
// from a leading "<N>" (sd-daemon(3)); without one every line would be informational, and a
// refusal would not show among an administrator's warnings.
#pragma once

#include <string>
#include <string_view>

namespace Basalt::Service {

// The syslog priority of a line of the daemon's log `level`:
//   2 and below (fatal at start-up) -> 2 crit    3 (refusals and failures) -> 3 err
//   4 (skipped items)               -> 4 warning 5 (traces and successes)  -> 6 info
//   6 and 7 (detail)                -> 7 debug   above 7 (the process log) -> 5 notice
int JournalPriority(int level);

// Whether `fd` is the stream that `journalStream` (JOURNAL_STREAM's "device:inode", may be null)
// names. A descriptor redirected elsewhere after systemd started the process does not match.
bool IsJournalStream(const char* journalStream, int fd);

// `text` with "<N>" before each of its lines, so that every physical line keeps the priority.
std::string WithJournalPriority(std::string_view text, int level);

}  // namespace Basalt::Service
