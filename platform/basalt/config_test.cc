#include "platform/basalt/config.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"

namespace Basalt::Service {
namespace {

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
  try {
    Config::Parse(text, "test.xml");
  } catch (const Exception& e) {
    return e.GetMessage();
  }
  return "no error";
}

TEST(ConfigTest, ReadsTrimmedValuesByElementPathAndKnowsWhichWereNeverAsked) {
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
}

TEST(ConfigTest, NonIntegerValueThrowsNamingKeyAndText) {
  auto config = Config::Parse(kSample, "test.xml");
  int64_t value = 0;
  for (const char* key : {"empty", "name"}) {
    EXPECT_THROW(config->GetInt(key, value), Exception) << key;
  }
  EXPECT_THROW(Config::Parse("<c><n>99999999999999999999</n></c>", "huge.xml")->GetInt("n", value),
               Exception);
  try {
    config->GetInt("bad", value);
    ADD_FAILURE() << "read '12abc' as an integer";
  } catch (const Exception& e) {
    EXPECT_EQ(e.GetMessage(), "configuration key 'bad' is not an integer: '12abc'");
  }
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

}  // namespace
}  // namespace Basalt::Service
