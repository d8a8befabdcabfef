#include "platform/basalt/logger.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <shared_mutex>
#include <utility>

#include "platform/basalt/dateTime.h"
#include "platform/basalt/journalStream.h"
#include "platform/basalt/logLimiter.h"

namespace Basalt::Service {

namespace {

thread_local std::map<std::string, std::string> tLogContext;

constexpr int kProcessLogLevel = 110;
constexpr std::size_t kProcessLogLineLimit = 2048;

void AppendUtcTimestamp(std::string& out) {
  timeval now{};
  gettimeofday(&now, nullptr);
  System::AppendUtcMilliseconds(out, int64_t{now.tv_sec} * 1000 + now.tv_usec / 1000);
}

// Gives up on the first error but an interruption: a log line is never worth a retry loop.
void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// One write(2) of up to PIPE_BUF bytes stays whole among other threads' writes to a pipe, the
// journal's stream socket or a file, so usual writes share the lock and only a longer one, which a
// pipe may take in pieces, writes alone: with both HTTP threads logging every call, an exclusive
// lock held across each write had them waiting on each other.
void WriteLines(std::shared_mutex& mutex, std::string_view lines) {
  if (lines.size() <= PIPE_BUF) {
    std::shared_lock lock(mutex);
    WriteAll(STDERR_FILENO, lines);
  } else {
    std::unique_lock lock(mutex);
    WriteAll(STDERR_FILENO, lines);
  }
}

// Lines of this level and below (errors) go out at once, whoever's call wrote them.
constexpr int kUnbudgetedLevel = 2;

// A call that logs a line per item of a long list does not keep megabytes of them.
constexpr size_t kMaxHeldBytes = 64 * 1024;

// About the length of the line that says how many of a caller's lines were held back: it is paid
// for from that caller's budget with the lines it comes with.
constexpr uint64_t kHeldBackNoteBytes = 128;

// No line is shorter: its time, level and separators. A budget that cannot pay for this holds back
// whatever line comes.
constexpr uint64_t kShortestLineBytes = 32;

// What a StandardErrorSink shares with the lines held for it.
struct SinkState {
  std::shared_mutex mutex;
  bool journal = false;
  std::unique_ptr<CallerBudget> callerBudget;  // null: no budget
  // Says when a caller's lines start to be held back: a flood that then stops has no later line
  // of that caller to carry its count.
  LogLimiter holding{std::chrono::seconds(10)};
};

// A level-3 "LogBudget" line, written whatever the loggers' levels.
std::string BudgetNote(const SinkState& sink, const std::string& text) {
  std::string note;
  AppendUtcTimestamp(note);
  note += " 3 LogBudget [] " + text + '\n';
  return sink.journal ? WithJournalPriority(note, 3) : note;
}

std::string CallerName(std::optional<uint32_t> caller) {
  return caller ? std::to_string(*caller) : std::string("unknown");
}

std::string HeldBackNote(const SinkState& sink, std::optional<uint32_t> caller, uint64_t lines) {
  return BudgetNote(sink, "Log lines of caller uid " + CallerName(caller) +
                              " held back: " + std::to_string(lines) + " (more than " +
                              std::to_string(sink.callerBudget->BytesPerSecond()) +
                              " bytes a second)");
}

std::string HoldingNote(const SinkState& sink, std::optional<uint32_t> caller) {
  return BudgetNote(sink, "Holding back log lines of caller uid " + CallerName(caller) +
                              ": more than " + std::to_string(sink.callerBudget->BytesPerSecond()) +
                              " bytes a second");
}

// The lines a HeldLogLines keeps, with the state of the sink that wrote them.
struct HeldLines {
  int depth = 0;
  Detail::HeldLinesOwner owner;
  std::string text;
  uint64_t lines = 0;
  std::shared_ptr<SinkState> sink;
  // Decided by the first line of a caller's hold: when its budget cannot pay for any line, the
  // hold's lines are only counted, and nothing of them is composed.
  enum class Budget { kUndecided, kMayFit, kHeldBack } budget = Budget::kUndecided;

  // A call that wrote nothing (at level 3, most) pays a test: no lock, no look-up, no call.
  void Flush() {
    if (lines > 0) {
      Write();
    } else {
      Reset();
    }
  }

  void Reset() {
    text.clear();
    lines = 0;
    sink.reset();
    budget = Budget::kUndecided;
  }

  // Whether a line of `level` that is about to go to `state` is held back unseen: it is counted.
  bool CountedOnly(const std::shared_ptr<SinkState>& state, int level) {
    if (depth == 0 || level <= kUnbudgetedLevel || !owner.caller || !state->callerBudget) {
      return false;
    }
    if (sink != state) Flush();  // another sink's lines keep their own order
    sink = state;
    if (budget == Budget::kUndecided) {
      budget =
          state->callerBudget->WouldHoldBack(owner.Uid(), kShortestLineBytes, kHeldBackNoteBytes)
              ? Budget::kHeldBack
              : Budget::kMayFit;
    }
    if (budget != Budget::kHeldBack) return false;
    ++lines;
    return true;
  }

  void Write() {
    std::string note;
    bool heldBack = false;
    if (budget == Budget::kHeldBack) {
      sink->callerBudget->HoldBack(owner.Uid(), lines);
      heldBack = true;
    } else if (owner.caller && sink->callerBudget) {
      const std::optional<uint64_t> earlier =
          sink->callerBudget->Take(owner.Uid(), text.size(), lines, kHeldBackNoteBytes);
      heldBack = !earlier;
      if (earlier && *earlier > 0) note = HeldBackNote(*sink, owner.Uid(), *earlier);
    }
    if (heldBack) {
      if (sink->holding.Due()) WriteLines(sink->mutex, HoldingNote(*sink, owner.Uid()));
    } else if (!text.empty()) {
      WriteLines(sink->mutex, note.empty() ? text : note + text);
    }
    Reset();
  }
};
thread_local HeldLines tHeld;

bool SameCaller(Detail::HeldLinesOwner& held, std::optional<uint32_t> uid) {
  return held.caller && held.Uid() == uid;
}

}  // namespace

std::optional<uint32_t> Detail::HeldLinesOwner::Uid() {
  if (!told) {
    uid = tell && *tell ? (*tell)() : std::nullopt;
    told = true;
  }
  return uid;
}

HeldLogLines::HeldLogLines() { ++tHeld.depth; }

HeldLogLines::HeldLogLines(const CallerUidFn& callerUid) {
  if (tHeld.owner.caller && tHeld.owner.tell == &callerUid) {
    ++tHeld.depth;
    return;
  }
  Begin({true, &callerUid, false, std::nullopt});
}

HeldLogLines::HeldLogLines(std::optional<uint32_t> callerUid) {
  if (tHeld.depth > 0 && SameCaller(tHeld.owner, callerUid)) {
    ++tHeld.depth;
    return;
  }
  Begin({true, nullptr, true, callerUid});
}

// Lines held so far stay those of the hold around this one.
void HeldLogLines::Begin(Detail::HeldLinesOwner owner) {
  if (tHeld.depth > 0) tHeld.Flush();
  outer_ = std::exchange(tHeld.owner, owner);
  switched_ = true;
  ++tHeld.depth;
}

HeldLogLines::~HeldLogLines() {
  --tHeld.depth;
  if (tHeld.depth == 0 || switched_) tHeld.Flush();
  if (switched_) tHeld.owner = outer_;
}

void FlushHeldLogLines() { tHeld.Flush(); }

namespace {

// A named type, so that a logger can find the budget behind its sink (LogSink::target).
struct StandardErrorWriter {
  std::shared_ptr<SinkState> sink;

  void operator()(const LogRecord& record) const {
    if (tHeld.CountedOnly(sink, record.level)) return;
    std::string line;
    line.reserve(40 + record.logger.size() + record.opId.size() + record.text.size());
    AppendUtcTimestamp(line);
    line += ' ';
    line += std::to_string(record.level);
    line += ' ';
    line += record.logger;
    line += " [";
    line += record.opId;
    line += "] ";
    line += record.text;
    line += '\n';
    if (sink->journal) line = WithJournalPriority(line, record.level);
    // Errors are never held, so never budgeted: an administrator must see a failing audit trail
    // or store however busy a caller keeps the daemon (such lines say so once per 10 s at most).
    if (tHeld.depth > 0 && record.level <= kUnbudgetedLevel) {
      tHeld.Flush();
    } else if (tHeld.depth > 0) {
      if (tHeld.sink != sink) tHeld.Flush();  // another sink's lines keep their own order
      tHeld.sink = sink;
      tHeld.text += line;
      ++tHeld.lines;
      if (tHeld.text.size() >= kMaxHeldBytes) tHeld.Flush();
      return;
    }
    WriteLines(sink->mutex, line);
  }
};

}  // namespace

struct Logger::Shared {
  LogSink sink;
  std::shared_ptr<SinkState> budgeted;  // the sink's, when it is a StandardErrorSink
  std::mutex mutex;                     // guards levels
  std::map<std::string, int> levels;
};

std::shared_ptr<Logger> Logger::sDefaultLogger;

LogSink StandardErrorSink(std::unique_ptr<CallerBudget> callerBudget) {
  auto sink = std::make_shared<SinkState>();
  sink->journal = IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
  if (callerBudget && callerBudget->BytesPerSecond() > 0) {
    sink->callerBudget = std::move(callerBudget);
  }
  return StandardErrorWriter{std::move(sink)};
}

Logger::Logger(std::string name, int level, std::shared_ptr<Shared> shared)
    : name_(std::move(name)), level_(level), shared_(std::move(shared)) {}

std::shared_ptr<Logger> Logger::CreateRoot(std::string name, int level, LogSink sink) {
  auto shared = std::make_shared<Shared>();
  if (const auto* writer = sink.target<StandardErrorWriter>()) shared->budgeted = writer->sink;
  shared->sink = std::move(sink);
  return std::make_shared<Logger>(std::move(name), level, std::move(shared));
}

std::shared_ptr<Logger> Logger::CreateLogger(const std::string& name) {
  auto root = sDefaultLogger;
  if (!root) root = CreateRoot("default", 0, StandardErrorSink());
  return root->CreateChild(name);
}

std::shared_ptr<Logger> Logger::CreateChild(const std::string& name) {
  int level = GetLevel();
  {
    std::lock_guard lock(shared_->mutex);
    auto it = shared_->levels.find(name);
    if (it != shared_->levels.end()) level = it->second;
  }
  return std::make_shared<Logger>(name, level, shared_);
}

void Logger::ConfigureLevel(const std::string& name, int level) {
  std::lock_guard lock(shared_->mutex);
  shared_->levels[name] = level;
}

std::string LogArgument(std::string_view text) {
  if (text.size() <= kQuoteLimit) {
    return NeedsEscape(text) ? EscapeControls(text) : std::string(text);
  }
  return EscapeControls(MarkCut(text, kQuoteLimit, text.size()));
}

bool Logger::CountedOnly(int level) const {
  return shared_->budgeted && tHeld.CountedOnly(shared_->budgeted, level);
}

void Logger::LogInternal(int level, std::string_view text) const {
  auto it = tLogContext.find("opID");
  std::string_view opId = it == tLogContext.end() ? std::string_view() : it->second;
  // The operation id may be the client's own: shown like any other client text, and without a
  // "]" that would end the line's "[opID]" field early.
  if (opId.size() > kOpIdShownLimit || NeedsEscape(opId) ||
      opId.find(']') != std::string_view::npos) {
    std::string shown;
    for (char c : EscapeControls(QuoteClientText(opId, kOpIdShownLimit))) {
      if (c == ']') {
        shown += "\\x5d";
      } else {
        shown += c;
      }
    }
    shared_->sink(LogRecord{level, name_, shown, text});
    return;
  }
  shared_->sink(LogRecord{level, name_, opId, text});
}

// An entry is never erased: emptied, it keeps its node and its capacity for the next call's id,
// so that a call sets and clears its "opID" without allocating.
std::string SetLogContext(const std::string& key, const std::string& value) {
  std::string previous = GetLogContext(key);
  ResetLogContext(key, value);
  return previous;
}

void ResetLogContext(const std::string& key, const std::string& value) {
  auto it = tLogContext.find(key);
  if (it != tLogContext.end()) {
    it->second = value;
  } else if (!value.empty()) {
    tLogContext.emplace(key, value);
  }
}

std::function<void()> CarryLogContext(std::function<void()> work) {
  // Told now: the teller may not outlive the hold.
  std::optional<std::optional<uint32_t>> caller;
  if (tHeld.depth > 0 && tHeld.owner.caller) caller = tHeld.owner.Uid();
  return [context = tLogContext, caller, work = std::move(work)]() {
    auto previous = std::exchange(tLogContext, context);
    struct Restore {
      std::map<std::string, std::string>& previous;
      ~Restore() { tLogContext = std::move(previous); }
    } restore{previous};
    if (!caller) {
      work();
      return;
    }
    const HeldLogLines held(*caller);
    work();
  };
}

std::string GetLogContext(const std::string& key) {
  auto it = tLogContext.find(key);
  return it == tLogContext.end() ? std::string() : it->second;
}

}  // namespace Basalt::Service

namespace Basalt {

namespace {

std::shared_ptr<Service::Logger> ProcessLogger() {
  auto logger = Service::Logger::sDefaultLogger;
  return logger ? logger : Service::Logger::CreateLogger("default");
}

}  // namespace

bool LogLineHeldBack() { return ProcessLogger()->CountedOnly(Service::kProcessLogLevel); }

void Log(const char* pattern, ...) {
  auto logger = ProcessLogger();
  if (logger->CountedOnly(Service::kProcessLogLevel)) return;
  char buffer[Service::kProcessLogLineLimit + 1];
  va_list args;
  va_start(args, pattern);
  int length = std::vsnprintf(buffer, sizeof buffer, pattern, args);
  va_end(args);
  if (length < 0) return;
  // The arguments cannot be told apart from the pattern here; process log patterns are one line.
  std::string_view text(buffer, std::min<std::size_t>(length, Service::kProcessLogLineLimit));
  std::string shown = static_cast<std::size_t>(length) > Service::kProcessLogLineLimit
                          ? MarkCut(text, text.size(), length)
                          : std::string(text);
  logger->LogInternal(Service::kProcessLogLevel,
                      NeedsEscape(shown) ? EscapeControls(shown) : std::move(shown));
}

}  // namespace Basalt
