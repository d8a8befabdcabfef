// Named loggers with numeric levels. A line of level n is written when the logger's level is n or
// higher. Children share their root's sink; each line carries the thread's "opID" log context.
//
// Values substituted into a line may come from a client, so every one of them, the operation id
// and the printf-style arguments included, is bounded and shown with its control characters
// escaped: a client can neither forge a line nor flood the log. The pattern itself is the
// system's own text and is written as it stands, line breaks included.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/basalt/callerBudget.h"
#include "platform/basalt/clientText.h"
#include "platform/basalt/format.h"

namespace Basalt::Service {

struct LogRecord {
  int level;
  std::string_view logger;
  std::string_view opId;  // empty outside of a call
  std::string_view text;
};

using LogSink = std::function<void(const LogRecord&)>;

// Bytes of the "[opID]" field that a log line shows; a longer (client) id is marked as cut.
inline constexpr std::size_t kOpIdShownLimit = 256;

// A value as a log line shows it: at most kQuoteLimit bytes, control characters escaped.
std::string LogArgument(std::string_view text);

// A composed text whose client parts already went through LogArgument (a localized message
// filled with escaped arguments): substituted as it is, so its own line breaks stay.
struct LogReadyText {
  std::string text;
};

template <class T>
std::string LogText(const T& value) {
  if constexpr (std::is_same_v<T, LogReadyText>) {
    return value.text;
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return LogArgument(std::string_view(value));
  } else {
    return LogArgument(ToText(value));
  }
}

// Writes "2026-01-02T03:04:05.678Z 5 Name [opID] text" lines to standard error; when standard
// error is the journal (JOURNAL_STREAM, checked once here) each line starts with its "<N>"
// priority (journalStream.h).
//
// With a `callerBudget` (the sink owns it), the lines held for a caller (HeldLogLines) are taken
// from that caller's budget when they go out, so that one local user's flood of calls cannot use
// up the journal's rate limit, which the whole daemon shares. Beyond it they are dropped and
// counted; when that caller's lines next fit, one line of level 3 (logger "LogBudget", whatever
// the loggers' levels) comes first: "Log lines of caller uid U held back: N (more than B bytes a
// second)", U "unknown" for callers whose uid cannot be told. Lines held for no caller, lines not
// held, and lines of level 2 and below (never held: they go out at once) are never budgeted.
// When a caller's budget cannot pay for even the shortest line as a hold's first line comes, every
// line of that hold is counted as held back and none of them is composed: a flood costs its caller
// the count, not the formatting.
LogSink StandardErrorSink(std::unique_ptr<CallerBudget> callerBudget = nullptr);

// Tells the host uid of a call's caller; nullopt when it cannot tell (such callers share one
// budget). Telling may cost a look-up in the kernel's socket table, so a hold asks only when it
// has lines to write, and once.
using CallerUidFn = std::function<std::optional<uint32_t>()>;

namespace Detail {
// Whose lines a HeldLogLines keeps.
struct HeldLinesOwner {
  bool caller = false;                // false: the daemon's own, never budgeted
  const CallerUidFn* tell = nullptr;  // asked once, when the uid is first needed
  bool told = false;
  std::optional<uint32_t> uid;  // once told

  std::optional<uint32_t> Uid();
};
}  // namespace Detail

// While one lives on a thread, the lines that thread writes through StandardErrorSink are kept and
// go out together, in one write(2), when the outermost ends: lines that one step writes back to
// back cost one system call, not one each (every 64 KiB at most). Panic writes them first; a crash
// by a signal loses the lines of the step under way. Other threads' lines are not held.
//
// A hold for a caller makes the lines its caller's until it ends (see StandardErrorSink); one for
// another caller within it writes what is held first. A hold that names no caller keeps that of
// the hold around it, or none: the lines are the daemon's own.
class HeldLogLines {
 public:
  HeldLogLines();
  // For the caller that `callerUid` tells; `callerUid` must outlive the hold.
  explicit HeldLogLines(const CallerUidFn& callerUid);
  HeldLogLines(CallerUidFn&&) = delete;  // a temporary would not outlive the hold
  // For a caller already told.
  explicit HeldLogLines(std::optional<uint32_t> callerUid);
  ~HeldLogLines();
  HeldLogLines(const HeldLogLines&) = delete;
  HeldLogLines& operator=(const HeldLogLines&) = delete;

 private:
  void Begin(Detail::HeldLinesOwner owner);

  Detail::HeldLinesOwner outer_;  // of the hold around this one, given back when this one ends
  bool switched_ = false;
};

// Writes the lines the calling thread holds now, and holds on: before an answer leaves, so that
// whoever reads it finds them, and before the process ends.
void FlushHeldLogLines();

class Logger : public std::enable_shared_from_this<Logger> {
 public:
  // The process's default logger; empty until the application is initialised.
  static std::shared_ptr<Logger> sDefaultLogger;

  // A root logger with its own sink and per-name level table.
  static std::shared_ptr<Logger> CreateRoot(std::string name, int level, LogSink sink);

  // A child of sDefaultLogger (or a detached stderr logger when there is none).
  static std::shared_ptr<Logger> CreateLogger(const std::string& name);

  // A child: its level is the one configured for its name, else this logger's level.
  std::shared_ptr<Logger> CreateChild(const std::string& name);

  // Level that children created later with this name receive.
  void ConfigureLevel(const std::string& name, int level);

  const std::string& GetName() const { return name_; }
  int GetLevel() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(int level) { level_.store(level, std::memory_order_relaxed); }
  bool IsEnabled(int level) const { return level <= GetLevel(); }

  // Writes `text` as it stands: callers substitute client values through Log.
  void LogInternal(int level, std::string_view text) const;

  // Whether a line of `level` written now would be held back unseen for the caller of this
  // thread's hold (StandardErrorSink): then it is counted as such, and need not be composed.
  bool CountedOnly(int level) const;

  template <class... Args>
  void Log(int level, std::string_view pattern, const Args&... args) const {
    if (IsEnabled(level) && !CountedOnly(level)) {
      LogInternal(level, FormatPositional(pattern, {LogText(args)...}));
    }
  }

  struct Shared;
  Logger(std::string name, int level, std::shared_ptr<Shared> shared);

 private:
  std::string name_;
  std::atomic<int> level_;
  std::shared_ptr<Shared> shared_;
};

// Sets a key of the calling thread's log context; returns the value it had (empty if none).
std::string SetLogContext(const std::string& key, const std::string& value);
// The same without the old value, so that putting one back copies nothing.
void ResetLogContext(const std::string& key, const std::string& value);
std::string GetLogContext(const std::string& key);

// Wraps work that runs later, perhaps on another thread, so that it runs with the calling thread's
// log context of now (its "opID" above all) and leaves the running thread's context as it was.
// Within a hold for a caller, the work's lines are held for that caller too.
std::function<void()> CarryLogContext(std::function<void()> work);

// Restores a log context key when the scope ends.
class ScopedLogContext {
 public:
  ScopedLogContext(std::string key, const std::string& value)
      : key_(std::move(key)), previous_(SetLogContext(key_, value)) {}
  ~ScopedLogContext() { ResetLogContext(key_, previous_); }
  ScopedLogContext(const ScopedLogContext&) = delete;
  ScopedLogContext& operator=(const ScopedLogContext&) = delete;

 private:
  std::string key_;
  std::string previous_;
};

}  // namespace Basalt::Service

namespace Basalt {
// The process-wide printf-style log (level 110 lines); always written through the default logger's
// sink, whatever its level. The formatted line is bounded and its control characters escaped.
void Log(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// For a process log line whose arguments cost something to compose: true when a line written now
// would be held back unseen, and then it is counted as such and the caller writes nothing; false
// when the caller is to write it with Log.
bool LogLineHeldBack();
}  // namespace Basalt
