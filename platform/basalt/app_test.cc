// The configuration file, and the application it sets up: loggers, threads and the event loop;
// the host's feature switches.
#include "platform/basalt/app.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/basalt/config.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/features.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Service {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSample = R"(<?xml version="1.0"?>
<config>
  <endpoint><portNum> 9199 </portNum></endpoint>
  <http><threads>2</threads><idleTimeoutSeconds>30</idleTimeoutSeconds></http>
  <log>
    <level>5</level>
    <logger name="OrbiHandler">6</logger> <!-- a comment -->
    <logger name="TokenImpl">7</logger>
  </log>
  <name><![CDATA[a<b]]> &amp; c</name>
  <negative>-12</negative>
  <bad>12abc</bad>
  <empty/>
</config>)";

std::string ErrorOf(std::string_view text) {
  return Testing::MessageOf([text] { Config::Parse(text, "test.xml"); });
}

TEST(ConfigTest, ReadsTrimmedValuesByPathRefusesNonIntegersAndKnowsWhichWereNeverAsked) {
  auto config = Config::Parse(kSample, "test.xml");
  EXPECT_EQ(config->GetOrigin(), "test.xml");
  int64_t value = 0;
  ASSERT_TRUE(config->GetInt("endpoint/portNum", value));
  EXPECT_EQ(value, 9199);
  ASSERT_TRUE(config->GetInt("negative", value));
  EXPECT_EQ(value, -12);
  std::string text;
  ASSERT_TRUE(config->GetString("name", text));
  EXPECT_EQ(text, "a<b & c");
  auto loggers = config->GetElements("log/logger");
  ASSERT_EQ(loggers.size(), 2u);
  EXPECT_EQ(loggers[0].attributes["name"], "OrbiHandler");
  EXPECT_EQ(loggers[0].text, "6");
  EXPECT_EQ(loggers[1].attributes["name"], "TokenImpl");

  // Absent keys and containers are not values and leave the output alone.
  value = 42;
  text = "unchanged";
  EXPECT_FALSE(config->GetInt("endpoint/port", value));
  EXPECT_FALSE(config->GetInt("portNum", value));
  EXPECT_FALSE(config->GetString("endpoint", text));
  EXPECT_FALSE(config->GetString("config/endpoint/portNum", text));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(text, "unchanged");
  EXPECT_TRUE(config->GetElements("log/missing").empty());
  EXPECT_EQ(config->GetUnreadKeys(),
            (std::vector<std::string>{"bad", "empty", "http/idleTimeoutSeconds", "http/threads",
                                      "log/level"}));
  ASSERT_TRUE(config->GetString("empty", text));
  EXPECT_EQ(text, "");

  // A value that is no integer is refused, naming the key and the text.
  for (const char* key : {"empty", "name"}) {
    EXPECT_THROW(config->GetInt(key, value), Exception) << key;
  }
  EXPECT_THROW(Config::Parse("<c><n>99999999999999999999</n></c>", "huge.xml")->GetInt("n", value),
               Exception);
  EXPECT_EQ(Testing::MessageOf([&] { config->GetInt("bad", value); }),
            "configuration key 'bad' is not an integer: '12abc'");
}

TEST(ConfigTest, MalformedFilesAreRefusedWithTheFileName) {
  EXPECT_EQ(ErrorOf("<config><endpoint></config>")
                .rfind("cannot read configuration file 'test.xml': line 1: ", 0),
            0u);
  for (const char* text : {"", "just text", "<a/><b/>"}) EXPECT_NE(ErrorOf(text), "no error");
  for (const char* text : {"<!DOCTYPE config [<!ENTITY x \"y\">]><config>&x;</config>",
                           "<!DOCTYPE config SYSTEM \"http://127.0.0.1:1/x.dtd\"><config/>"}) {
    EXPECT_EQ(ErrorOf(text), "cannot read configuration file 'test.xml': a DOCTYPE is not allowed");
  }
}

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

constexpr size_t kDaemon = FeatureTable::kNoxtokend, kSts = FeatureTable::kExternalSts;

// Every switch is on unless a well-formed line turns it off; damaged lines switch nothing off.
TEST(FeatureTableTest, OnlyWellFormedLinesTurnSwitchesOff) {
  const struct {
    const char* text;
    bool daemon, sts;
  } cases[] = {
      {"", true, true},
      {"# host switches\nnoxtokend = off\nexternal_sts=off   # trailing\nunknown = off\n", false,
       false},
      {"\texternal_sts\t=\tOFF\r\n", true, false},
      {"# noxtokend = off\n", true, true},
      {"noxtokend off\nexternal_sts = maybe\n= off\nnoxtokend = off extra\n", true, true},
      {"noxtokend = off\nnoxtokend = on", true, true},  // the last line of a name wins
      {"noxtokend = No\nexternal_sts = FALSE\n", false, false},
      {"noxtokend = 0\nexternal_sts = yes\n", false, true},
  };
  for (const auto& [text, daemon, sts] : cases) {
    const FeatureTable table = FeatureTable::Parse(text);
    EXPECT_EQ(table[kDaemon], daemon) << text;
    EXPECT_EQ(table[kSts], sts) << text;
    EXPECT_TRUE(table[17]) << text;
    EXPECT_FALSE(table[FeatureTable::kSize]) << text;  // outside the table
  }
  // A known switch's unreadable value is named for the log; unknown names are another program's.
  EXPECT_EQ(FeatureTable::Parse("external_sts = of  # typo\nunknown = x\nnoxtokend = on\n")
                .UnreadableLines(),
            std::vector<std::string>{"external_sts = of"});
}

}  // namespace
}  // namespace Basalt::Service
