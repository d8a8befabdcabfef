// Structured entries for the systemd journal, sent through libsystemd loaded at run time. Only a
// process that systemd started with its output on the journal (JOURNAL_STREAM set) opens one.
// Thread-safe: Send only reads.
#pragma once

#include <sys/uio.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/basalt/sharedLibrary.h"

namespace Basalt::System {

class Journal {
 public:
  // A journal when JOURNAL_STREAM is set and libsystemd can be loaded; else nullptr, with the
  // reason in `why` (empty when the process does not run under systemd).
  static std::unique_ptr<Journal> OpenUnderSystemd(std::string& why);

  // One entry of "NAME=value" fields. Returns false when the journal refused it.
  bool Send(const std::vector<std::string>& fields) const;

 private:
  using SendV = int (*)(const iovec*, int);
  Journal(SharedLibrary library, SendV send) : library_(std::move(library)), send_(send) {}

  SharedLibrary library_;
  SendV send_;
};

}  // namespace Basalt::System
