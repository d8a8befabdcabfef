#include "platform/basalt/app.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/basalt/exception.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Service {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // the longest a step may take before the test gives up

class AppTest : public ::testing::Test {
 protected:
  std::string WriteConfig(const std::string& text) {
    auto path = root_.Path() / "config.xml";
    std::ofstream(path) << text;
    return path.string();
  }

  // Starts Run() on a thread of its own; the future ends when Run() returns or throws.
  std::future<void> StartLoop(const std::shared_ptr<App>& app) {
    std::promise<void> running;
    auto started = running.get_future();
    app->RunAfter(0us, [&running] { running.set_value(); });
    auto loop = std::async(std::launch::async, [app] { app->Run(); });
    EXPECT_EQ(started.wait_for(kBound), std::future_status::ready);
    return loop;
  }

  Testing::TemporaryHostRoot root_;
};

TEST_F(AppTest, InitAppSetsLoggerLevelsAndThreadsAndRefusesBadValues) {
  InitApp(
      WriteConfig("<config><log><level>4</level><callerBytesPerSecond>0</callerBytesPerSecond>"
                  "<logger name=\"OrbiHandler\">6</logger>"
                  "<logger name=\"TokenImpl\"> 7 </logger></log></config>"));
  ASSERT_TRUE(GetApp());
  EXPECT_EQ(Logger::sDefaultLogger->GetLevel(), 4);
  EXPECT_EQ(Logger::CreateLogger("OrbiHandler")->GetLevel(), 6);
  EXPECT_EQ(Logger::CreateLogger("TokenImpl")->GetLevel(), 7);
  EXPECT_EQ(Logger::CreateLogger("Other")->GetLevel(), 4);
  EXPECT_EQ(GetApp()->GetThreadCount(), 2);
  InitApp(WriteConfig("<config><http><threads>3</threads></http></config>"));
  EXPECT_EQ(Logger::sDefaultLogger->GetLevel(), 5);
  EXPECT_EQ(GetApp()->GetThreadCount(), 3);

  const std::string missing = (root_.Path() / "absent.xml").string();
  EXPECT_EQ(Testing::MessageOf([&] { InitApp(missing); }),
            "cannot read configuration file '" + missing + "': No such file or directory");
  for (const char* bad :
       {"<log><level>high</level></log>", "<log><logger name=\"A\">x</logger></log>",
        "<log><logger>5</logger></log>", "<http><threads>0</threads></http>",
        "<log><callerBytesPerSecond>-1</callerBytesPerSecond></log>",
        "<log><callerBytesPerSecond>2000000000</callerBytesPerSecond></log>"}) {
    EXPECT_THROW(InitApp(WriteConfig(std::string("<config>") + bad + "</config>")), Exception)
        << bad;
  }
}

TEST_F(AppTest, RunAfterRunsOnTheLoopAndStopOrAnEarlySignalEndsRun) {
  InitApp(WriteConfig("<config/>"));
  auto app = GetApp();
  auto loop = StartLoop(app);
  std::promise<std::thread::id> fired;
  app->RunAfter(1ms, [&fired] { fired.set_value(std::this_thread::get_id()); });
  auto firedOn = fired.get_future();
  ASSERT_EQ(firedOn.wait_for(kBound), std::future_status::ready);
  EXPECT_NE(firedOn.get(), std::this_thread::get_id());
  app->Stop();
  ASSERT_EQ(loop.wait_for(kBound), std::future_status::ready);
  loop.get();

  // The loop runs again after a stop; a stop before Run() makes Run() return at once.
  auto again = StartLoop(app);
  app->Stop();
  ASSERT_EQ(again.wait_for(kBound), std::future_status::ready);
  app->Stop();
  auto stopped = std::async(std::launch::async, [app] { app->Run(); });
  ASSERT_EQ(stopped.wait_for(kBound), std::future_status::ready);

  // A signal between start-up and Run() is kept for the loop instead of killing the process; a
  // signal to a running loop is the daemon's every stop end to end.
  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  auto late = std::async(std::launch::async, [app] { app->Run(); });
  ASSERT_EQ(late.wait_for(kBound), std::future_status::ready);
}

TEST_F(AppTest, AnExceptionEscapingAHandlerIsRethrownByRun) {
  InitApp(WriteConfig("<config><http><threads>1</threads></http></config>"));
  auto loop = StartLoop(GetApp());
  GetApp()->RunAfter(0us, [] { throw Exception("handler failed"); });
  ASSERT_EQ(loop.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(Testing::MessageOf([&] { loop.get(); }), "handler failed");
}

}  // namespace
}  // namespace Basalt::Service
