// Loggers and where their lines go: levels and call context, the standard error sink (whole
// lines, held lines, callers' budgets), the journal's priorities and the limiter of repeats.
#include "platform/basalt/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/basalt/assert.h"
#include "platform/basalt/journalStream.h"
#include "platform/basalt/logLimiter.h"

namespace Basalt::Service {
namespace {

using namespace std::chrono_literals;

// A root logger at level 5 whose records land in `lines` as "level|logger|opId|text".
class LoggerTest : public ::testing::Test {
 protected:
  std::vector<std::string> lines;
  std::shared_ptr<Logger> root = Logger::CreateRoot("root", 5, [this](const LogRecord& r) {
    lines.push_back(std::to_string(r.level) + "|" + std::string(r.logger) + "|" +
                    std::string(r.opId) + "|" + std::string(r.text));
  });
};

TEST_F(LoggerTest, WritesOnlyAtOrBelowItsLevelWithOpId) {
  root->ConfigureLevel("Chatty", 7);
  auto quiet = root->CreateChild("Quiet");
  auto chatty = root->CreateChild("Chatty");
  quiet->Log(6, "hidden %1", 1);
  {
    ScopedLogContext context("opID", "op-0");
    quiet->Log(5, "shown %1", 2);
    { ScopedLogContext inner("opID", "op-1"); }
    chatty->Log(7, "detail");
  }
  quiet->Log(3, "after");
  EXPECT_EQ(lines, (std::vector<std::string>{"5|Quiet|op-0|shown 2", "7|Chatty|op-0|detail",
                                             "3|Quiet||after"}));
}

TEST_F(LoggerTest, DeferredWorkLogsWithTheContextOfItsCaller) {
  std::function<void()> later;
  {
    ScopedLogContext context("opID", "op-7");
    later = CarryLogContext([&] { root->Log(5, "later"); });
  }
  std::thread([&] {
    ScopedLogContext context("opID", "other");
    later();
    root->Log(5, "after");
  }).join();
  EXPECT_EQ(lines, (std::vector<std::string>{"5|root|op-7|later", "5|root|other|after"}));
}

TEST_F(LoggerTest, EscapesAndBoundsValuesButNotItsPattern) {
  {
    ScopedLogContext context("opID", "op\n[1]");
    root->Log(5, "Certificate #%1 below:\n%2", 0, "x\n2026-01-01T00:00:00.000Z 3 Forged [] line");
  }
  root->Log(5, "%1", std::string(5000, 'y'));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "5|root|op\\n[1\\x5d|Certificate #0 below:\n"
                       "x\\n2026-01-01T00:00:00.000Z 3 Forged [] line",
                       "5|root||" + std::string(kQuoteLimit, 'y') + "\u2026(cut, 5000 bytes)"}));
}

TEST(LogLimiterTest, OneLinePerIntervalCountingTheOnesHeldBack) {
  using std::chrono::seconds;
  LogLimiter limiter(seconds(10));
  const LogLimiter::Clock::time_point start{seconds(1000)};
  uint64_t heldBack = 99;
  EXPECT_TRUE(limiter.Due(&heldBack, start));
  EXPECT_EQ(heldBack, 0u);
  EXPECT_FALSE(limiter.Due(&heldBack, start + seconds(3)));
  EXPECT_FALSE(limiter.Due(nullptr, start + seconds(9)));
  EXPECT_TRUE(limiter.Due(&heldBack, start + seconds(10)));
  EXPECT_EQ(heldBack, 2u);
  EXPECT_FALSE(limiter.Due(&heldBack, start + seconds(19)));
  EXPECT_TRUE(limiter.Due(&heldBack, start + seconds(60)));
  EXPECT_EQ(heldBack, 1u);
}

// Points standard error at a pipe whose other end is read until it closes.
class CapturedStandardError {
 public:
  CapturedStandardError() {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    saved_ = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    reader_ = std::thread([this, in = ends[0]] {
      char buffer[65536];
      for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;) text_.append(buffer, n);
      close(in);
    });
  }
  ~CapturedStandardError() {
    if (reader_.joinable()) Take();
  }
  // Restores standard error and returns all that was written to it.
  std::string Take() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    reader_.join();
    return text_;
  }

 private:
  int saved_ = -1;
  std::thread reader_;
  std::string text_;
};

TEST(StandardErrorSinkTest, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  // Every tenth line is longer than what one write to a pipe keeps whole.
  auto length = [](int i) { return i % 10 == 0 ? PIPE_BUF + 1000 : 40 + i % 200; };
  const LogSink sink = StandardErrorSink();
  CapturedStandardError captured;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i) + ":" +
                                 std::string(length(i), static_cast<char>('a' + t)) + "$";
        sink(LogRecord{3, "test", "op", text});
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::istringstream lines(captured.Take());
  std::vector<int> seen(kThreads, 0);
  for (std::string line; std::getline(lines, line);) {
    const size_t body = line.find("] ");
    ASSERT_NE(body, std::string::npos) << line.substr(0, 80);
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + body + 2, "%d:%d:", &t, &i), 2) << line.substr(0, 80);
    ASSERT_TRUE(t >= 0 && t < kThreads && i == seen[t]) << line.substr(0, 80);
    const std::string expected = std::string(length(i), static_cast<char>('a' + t)) + "$";
    EXPECT_EQ(line.substr(line.size() - expected.size()), expected) << t << ":" << i;
    ++seen[t];
  }
  EXPECT_EQ(seen, std::vector<int>(kThreads, kLines));
}

// Standard error pointed at a file, so that what has been written so far can be read at any time.
TEST(StandardErrorSinkTest, HeldLinesGoOutTogetherWhenTheOutermostHoldEnds) {
  const std::unique_ptr<FILE, int (*)(FILE*)> stream(std::tmpfile(), &std::fclose);
  ASSERT_NE(stream, nullptr);
  const int file = fileno(stream.get());
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  auto written = [file] { return lseek(file, 0, SEEK_END); };
  const LogSink sink = StandardErrorSink();
  {
    const HeldLogLines outer;
    sink(LogRecord{3, "test", "op", "first"});
    {
      const HeldLogLines inner;
      sink(LogRecord{3, "test", "op", "second"});
    }
    EXPECT_EQ(written(), 0);
  }
  const off_t together = written();
  {
    // A long run of lines goes out in pieces of 64 KiB, not all at the end.
    const HeldLogLines many;
    for (int i = 0; i < 1000; ++i) sink(LogRecord{3, "test", "op", std::string(100, 'x')});
    EXPECT_GT(written(), together + 64 * 1024);
  }
  sink(LogRecord{3, "test", "op", "third"});
  const off_t after = written();
  dup2(saved, STDERR_FILENO);
  close(saved);

  std::string text(after, '\0');
  ASSERT_EQ(pread(file, text.data(), text.size(), 0), after);
  const std::string held = text.substr(0, together);
  EXPECT_LT(held.find("] first\n"), held.find("] second\n"));  // also fails when "first" is missing
  EXPECT_NE(held.find("] second\n"), std::string::npos);
  EXPECT_NE(text.find("] third\n", together + 1000 * 100), std::string::npos);
}

// Callers' budgets of 100 bytes a second (3,200 bytes full) on a clock the test moves; the
// sink's budget is its own.
class CallerBudgetTest : public ::testing::Test {
 protected:
  CallerBudget::Clock::time_point now{};
  CallerBudget budget{100, [this] { return now; }};
  const LogSink sink =
      StandardErrorSink(std::make_unique<CallerBudget>(100, [this] { return now; }));
  int asked = 0;
  const CallerUidFn alice = [this] {
    ++asked;
    return std::optional<uint32_t>(1000);
  };
};

// Twenty lines of 160 bytes fill a budget.
TEST_F(CallerBudgetTest, SinkCountsLinesBeyondACallersBudgetNotWrittenAndOthersStillGoOut) {
  auto line = [this](const std::string& tag) {
    // The time, " 5 test [op] ", the text and the line break.
    sink(LogRecord{5, "test", "op", tag + std::string(160 - 38 - tag.size(), '.')});
  };
  const CallerUidFn bob = [] { return std::optional<uint32_t>(1001); };
  std::function<void()> carried;
  CapturedStandardError captured;
  {
    const HeldLogLines empty(alice);  // nothing to write: its caller is never asked
  }
  EXPECT_EQ(asked, 0);
  for (int i = 0; i < 25; ++i) {
    const HeldLogLines call(alice);
    line("alice" + std::to_string(i));
    if (i == 24) {
      const HeldLogLines nested(bob);  // another caller's lines within are its own
      line("bob");
    }
  }
  EXPECT_EQ(asked, 25);
  {
    const HeldLogLines call(alice);
    carried = CarryLogContext([&line] { line("carried"); });
    line("alice-twice");
    line("alice-twice");
    sink(LogRecord{2, "test", "op", "alice-error."});  // errors are never held back
  }
  {
    const HeldLogLines daemon;  // held for no caller
    line("daemon-held");
  }
  line("daemon");
  std::thread(carried).join();
  now += std::chrono::seconds(4);  // 400 bytes: a line and the note
  {
    const HeldLogLines call(alice);
    line("alice-again");
  }

  std::istringstream lines(captured.Take());
  std::vector<std::string> texts;
  for (std::string each; std::getline(lines, each);) {
    texts.push_back(each.substr(each.find("] ") + 2));
    if (texts.back().find('.') != std::string::npos) texts.back().resize(texts.back().find('.'));
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) expected.push_back("alice" + std::to_string(i));
  expected.insert(
      expected.end(),
      {"Holding back log lines of caller uid 1000: more than 100 bytes a second", "bob",
       "alice-error", "daemon-held", "daemon",
       "Log lines of caller uid 1000 held back: 8 (more than 100 bytes a second)", "alice-again"});
  EXPECT_EQ(texts, expected);
}

// Counts how often a line composes it.
struct Composed {
  int* times;
};
std::ostream& operator<<(std::ostream& out, const Composed& composed) {
  ++*composed.times;
  return out << "composed";
}

TEST_F(CallerBudgetTest, SinkCountsTheLinesOfAHoldItsBudgetCannotPayForUncomposed) {
  auto logger = Logger::CreateRoot("test", 5, sink);
  const auto saved = std::exchange(Logger::sDefaultLogger, logger);
  int composed = 0;
  CapturedStandardError captured;
  {
    const HeldLogLines call(alice);
    logger->Log(5, "%1", std::string(3300, 'x'));  // a full budget lets one line through
  }
  {
    const HeldLogLines call(alice);
    logger->Log(5, "first %1", Composed{&composed});
    logger->Log(5, "second %1", Composed{&composed});
    Basalt::Log("process %s", "line");
    EXPECT_TRUE(Basalt::LogLineHeldBack());           // counted, as if written
    logger->Log(2, "error %1", Composed{&composed});  // never held back
  }
  EXPECT_EQ(composed, 1);
  now += std::chrono::seconds(4);  // 400 bytes: a line and the note
  {
    const HeldLogLines call(alice);
    EXPECT_FALSE(Basalt::LogLineHeldBack());
    logger->Log(5, "again %1", Composed{&composed});
  }
  Logger::sDefaultLogger = saved;
  EXPECT_EQ(composed, 2);

  const std::string text = captured.Take();
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_EQ(text.find("process"), std::string::npos);
  const size_t error = text.find("] error composed\n");
  const size_t note = text.find("Log lines of caller uid 1000 held back: 4 (");
  ASSERT_NE(error, std::string::npos);
  ASSERT_NE(note, std::string::npos);
  EXPECT_LT(error, note);
  EXPECT_NE(text.find("] again composed\n", note), std::string::npos);
}

TEST(HeldLogLinesDeathTest, APanicWritesTheHeldLinesFirst) {
  const LogSink sink = StandardErrorSink();
  EXPECT_DEATH(
      {
        const HeldLogLines held;
        sink(LogRecord{3, "test", "op", "what led here"});
        VERIFY(false);
      },
      "\\] what led here\n(.|\n)*VERIFY ");
}

TEST_F(CallerBudgetTest, HoldsBackBeyondTheBudgetAndCountsInTheNextWrite) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(budget.Take(1000, 100), 0u) << i;
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  now += 500ms;  // 50 bytes back: not yet room for 100
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);
  now += 600ms;
  EXPECT_EQ(budget.Take(1000, 100), 3u);
  EXPECT_EQ(budget.Take(1000, 100), std::nullopt);

  // Each host user has its own budget; callers without a uid share one.
  EXPECT_EQ(budget.Take(1001, 3200), 0u);
  EXPECT_EQ(budget.Take(std::nullopt, 3200), 0u);
  EXPECT_EQ(budget.Take(std::nullopt, 1), std::nullopt);
  EXPECT_EQ(budget.Take(1002, 1), 0u);

  // A full budget lets one record larger than itself through, then owes it.
  now += 1h;
  EXPECT_EQ(budget.Take(1000, 10000), 1u);
  now += 60s;
  EXPECT_EQ(budget.Take(1000, 1), std::nullopt);
  now += 12s;
  EXPECT_EQ(budget.Take(1000, 1), 1u);

  // A write of several items counts them all; the note that says how many were held back is
  // paid for with the write that carries it.
  now += 1h;
  EXPECT_EQ(budget.Take(1000, 3200), 0u);
  EXPECT_EQ(budget.Take(1000, 100, 7, 50), std::nullopt);
  now += 1s;
  EXPECT_EQ(budget.Take(1000, 100, 1, 50), std::nullopt);  // 150 due, 100 there
  now += 1s;
  EXPECT_EQ(budget.Take(1000, 100, 1, 50), 8u);
  EXPECT_EQ(budget.Take(1000, 50, 1, 50), 0u);  // no note due: 50 left fits
  EXPECT_EQ(budget.Take(1000, 1), std::nullopt);

  // Asking whether a write would be held back takes nothing; counting items held back unwritten
  // reports them with the next write like any others.
  now += 1s;  // 100 bytes, a note of 50 due
  EXPECT_TRUE(budget.WouldHoldBack(1000, 60, 50));
  EXPECT_FALSE(budget.WouldHoldBack(1000, 50, 50));
  EXPECT_FALSE(budget.WouldHoldBack(1003, 1 << 20));  // a full budget
  budget.HoldBack(1000, 4);
  EXPECT_EQ(budget.Take(1000, 50, 1, 50), 5u);
}

TEST_F(CallerBudgetTest, ZeroLetsEverythingThroughAndIdleCallersAreForgotten) {
  CallerBudget unlimited(0, [this] { return now; });
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(unlimited.Take(1, 1 << 20), 0u);

  // A caller that is still paying off its budget is kept when the table is full; one whose
  // budget refilled is forgotten, which loses nothing.
  budget.Take(7, 3200);
  for (uint32_t uid = 100; uid < 100 + CallerBudget::kMaxCallers; ++uid) budget.Take(uid, 1);
  now += 1h;
  budget.Take(7, 3200);
  for (uint32_t uid = 100000; uid < 100000 + CallerBudget::kMaxCallers; ++uid) budget.Take(uid, 1);
  EXPECT_EQ(budget.Take(7, 1), std::nullopt);
}

TEST(JournalStreamTest, PrefixesEachPhysicalLineWithItsLevelsSyslogPriority) {
  const std::pair<int, int> cases[] = {{0, 2}, {2, 2}, {3, 3}, {4, 4},  {5, 6},
                                       {6, 7}, {7, 7}, {8, 5}, {110, 5}};
  for (auto [level, priority] : cases) EXPECT_EQ(JournalPriority(level), priority) << level;
  EXPECT_EQ(WithJournalPriority("refused\n", 3), "<3>refused\n");
  EXPECT_EQ(WithJournalPriority("first\nsecond\n", 5), "<6>first\n<6>second\n");
  EXPECT_EQ(WithJournalPriority("", 3), "");
}

TEST(JournalStreamTest, RecognisesOnlyTheNamedStream) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  int fd = fileno(file);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  std::string device = std::to_string(status.st_dev);
  std::string inode = std::to_string(status.st_ino);
  const std::pair<std::string, bool> cases[] = {
      {device + ":" + inode, true},
      {device + ":" + std::to_string(status.st_ino + 1), false},
      {device + ":" + inode + "x", false},
      {device + inode, false},
      {"", false},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(IsJournalStream(value.c_str(), fd), expected) << value;
  }
  EXPECT_FALSE(IsJournalStream(nullptr, fd));
  EXPECT_FALSE(IsJournalStream((device + ":" + inode).c_str(), -1));
  std::fclose(file);
}

}  // namespace
}  // namespace Basalt::Service
