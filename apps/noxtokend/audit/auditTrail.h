// The audit trail's sink: a JSON-lines file and, under systemd, the journal.
//
// The file is created 0600 in a directory made 0700, opened O_APPEND, and each record goes out
// whole in one write(2), so lines of concurrent calls never interleave and a rotation tool may
// move the file at any time: Reopen() (on SIGHUP) starts a new one at the configured path. A file
// that cannot be opened is retried at the next record.
//
// Thread-safe: Write may run on every request thread at once; Reopen takes the file from them
// for the moment of the swap.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <shared_mutex>
#include <string>

#include "apps/noxtokend/audit/auditRecord.h"
#include "platform/basalt/callerBudget.h"
#include "platform/basalt/config.h"
#include "platform/basalt/journal.h"
#include "platform/basalt/logLimiter.h"
#include "platform/basalt/logger.h"

namespace NoxToken::Audit {

inline constexpr const char* kDefaultFile = "/var/log/tessel/noxtokend/audit.log";

struct Settings {
  bool enabled = true;
  // A record that cannot be written refuses the call that needed it.
  bool required = false;
  std::string file;  // the host path, already under TESSEL_ROOT
  // Bytes of refusal records a second that one calling host user may add (CallerBudget); 0: any.
  uint64_t refusalBytesPerSecond = kDefaultRefusalBytesPerSecond;
  // A refused password's user name is recorded even when no host user has it.
  bool recordUnknownUserNames = false;

  static constexpr uint64_t kDefaultRefusalBytesPerSecond = 8192;
  static constexpr int64_t kMaxRefusalBytesPerSecond = int64_t{1} << 30;

  // "audit/enabled", "audit/required", "audit/recordUnknownUserNames" ("true" or "false"),
  // "audit/file" (default kDefaultFile under TESSEL_ROOT) and "audit/refusalBytesPerSecond".
  // Throws Basalt::Exception on a value that is not a boolean, a relative path or a rate out of
  // range.
  static Settings Read(const Basalt::Service::Config& config);
};

class Trail {
 public:
  // Opens the file now; a failure is logged at level 2 and retried at each record. Failure lines
  // are written at most once per 10 s each, saying how many were held back.
  Trail(Settings settings, std::shared_ptr<Basalt::Service::Logger> logger,
        std::unique_ptr<Basalt::System::Journal> journal);
  ~Trail();
  Trail(const Trail&) = delete;
  Trail& operator=(const Trail&) = delete;

  const Settings& GetSettings() const { return settings_; }

  // Appends the record to the file (and the journal). False when the file could not take it; the
  // loss is logged at level 2. A refusal record beyond its caller's budget is held back (and
  // counted in that caller's next one): true, nothing written.
  bool Write(const Record& record);

  // True when the file is open, or could be opened now.
  bool Ready();

  // True when a change must be refused before it is made: the trail is required and not Ready.
  bool RefusesChanges() { return settings_.required && !Ready(); }

  // Closes the file and opens it again by its path.
  void Reopen();

 private:
  // Opens the path; returns the descriptor or -1, logging why at level 2.
  int Open() const;
  bool WriteLine(const std::string& line);
  bool Put(const Record& record, const std::string& line);

  // Each failure line at most once per interval, with the count held back: a trail that cannot
  // be written must not put two lines a call into the log.
  static constexpr std::chrono::seconds kFailureLineInterval{10};
  struct FailureLines {
    Basalt::Service::LogLimiter unavailable{kFailureLineInterval};
    Basalt::Service::LogLimiter writeFailed{kFailureLineInterval};
    Basalt::Service::LogLimiter lost{kFailureLineInterval};
    Basalt::Service::LogLimiter notJournaled{kFailureLineInterval};
    Basalt::Service::LogLimiter heldBack{kFailureLineInterval};
  };

  Settings settings_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  mutable FailureLines lines_;
  std::unique_ptr<Basalt::System::Journal> journal_;
  Basalt::CallerBudget refusals_;
  std::shared_mutex mutex_;  // writers share the descriptor; Reopen swaps it alone
  int fd_ = -1;              // guarded by mutex_
  // A write that stopped inside its line (a full disk): the next record starts a line of its own.
  std::atomic<bool> torn_{false};
};

}  // namespace NoxToken::Audit
