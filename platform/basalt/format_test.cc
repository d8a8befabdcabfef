#include "platform/basalt/format.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/basalt/logger.h"

namespace Basalt {
namespace {

TEST(FormatTest, SubstitutesByPositionNotByOrder) {
  EXPECT_EQ(Format("%2 before %1", "a", 7), "7 before a");
  EXPECT_EQ(Format("100%% of %1", true), "100% of 1");
  EXPECT_EQ(Format("%3 missing", "x"), " missing");
  EXPECT_EQ(Format("trailing %"), "trailing %");
}

TEST(LoggerTest, WritesOnlyAtOrBelowItsLevelWithOpId) {
  std::vector<std::string> lines;
  auto root = Service::Logger::CreateRoot("root", 5, [&](const Service::LogRecord& r) {
    lines.push_back(std::to_string(r.level) + "|" + std::string(r.logger) + "|" +
                    std::string(r.opId) + "|" + std::string(r.text));
  });
  root->ConfigureLevel("Chatty", 7);
  auto quiet = root->CreateChild("Quiet");
  auto chatty = root->CreateChild("Chatty");
  quiet->Log(6, "hidden %1", 1);
  {
    Service::ScopedLogContext context("opID", "op-0");
    quiet->Log(5, "shown %1", 2);
    chatty->Log(7, "detail");
  }
  quiet->Log(3, "after");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "5|Quiet|op-0|shown 2");
  EXPECT_EQ(lines[1], "7|Chatty|op-0|detail");
  EXPECT_EQ(lines[2], "3|Quiet||after");
}

TEST(LoggerTest, DeferredWorkLogsWithTheContextOfItsCaller) {
  std::vector<std::string> opIds;
  auto root = Service::Logger::CreateRoot(
      "root", 5, [&](const Service::LogRecord& r) { opIds.emplace_back(r.opId); });
  std::function<void()> later;
  {
    Service::ScopedLogContext context("opID", "op-7");
    later = Service::CarryLogContext([&] { root->Log(5, "later"); });
  }
  std::thread([&] {
    Service::ScopedLogContext context("opID", "other");
    later();
    root->Log(5, "after");
  }).join();
  EXPECT_EQ(opIds, (std::vector<std::string>{"op-7", "other"}));
}

}  // namespace
}  // namespace Basalt
