#include "platform/basalt/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/basalt/assert.h"

namespace Basalt::Service {
namespace {

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
  ASSERT_NE(held.find("] first\n"), std::string::npos);
  EXPECT_LT(held.find("] first\n"), held.find("] second\n"));
  EXPECT_NE(held.find("] second\n"), std::string::npos);
  EXPECT_NE(text.find("] third\n", together + 1000 * 100), std::string::npos);
}

TEST(StandardErrorSinkTest, LinesBeyondACallersBudgetAreCountedNotWrittenAndOthersStillGoOut) {
  CallerBudget::Clock::time_point now{};
  // 100 bytes a second: a budget of 3,200, twenty lines of 160 bytes.
  const LogSink sink =
      StandardErrorSink(std::make_unique<CallerBudget>(100, [&now] { return now; }));
  auto line = [&sink](const std::string& tag) {
    // The time, " 5 test [op] ", the text and the line break.
    sink(LogRecord{5, "test", "op", tag + std::string(160 - 38 - tag.size(), '.')});
  };
  int asked = 0;
  const CallerUidFn alice = [&asked] {
    ++asked;
    return std::optional<uint32_t>(1000);
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

}  // namespace
}  // namespace Basalt::Service
