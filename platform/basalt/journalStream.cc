#include "platform/basalt/journalStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

namespace Basalt::Service {

int JournalPriority(int level) {
  if (level <= 2) return 2;
  if (level <= 4) return level;
  if (level == 5) return 6;
  if (level <= 7) return 7;
  return 5;
}

bool IsJournalStream(const char* journalStream, int fd) {
  if (journalStream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  int used = 0;
  if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &used) != 2 ||
      journalStream[used] != '\0') {
    return false;
  }
  struct stat status {};
  return fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

std::string WithJournalPriority(std::string_view text, int level) {
  const std::string prefix = "<" + std::to_string(JournalPriority(level)) + ">";
  std::string out;
  out.reserve(text.size() + prefix.size());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    out += prefix;
    out.append(text, start, end - start);
    start = end;
  }
  return out;
}

}  // namespace Basalt::Service
