#include "platform/basalt/dateTime.h"

#include <gtest/gtest.h>

namespace Basalt::System {
namespace {

TEST(DateTimeTest, ParsesUtcFormsAndZoneOffsets) {
  EXPECT_EQ(DateTime("1970-01-01T00:00:00Z").GetUtcTime(), 0);
  EXPECT_EQ(DateTime("1970-01-01T00:00:01").GetUtcTime(), 1000000);
  EXPECT_EQ(DateTime("2026-12-05T19:09:11Z").GetUtcTime(), 1796497751LL * 1000000);
  EXPECT_EQ(DateTime("2000-02-29T12:00:00.5Z").GetUtcTime(), 951825600LL * 1000000 + 500000);
  EXPECT_EQ(DateTime("1969-12-31T23:59:59.999999Z").GetUtcTime(), -1);
  EXPECT_EQ(DateTime("1970-01-01T00:00:00.1234569Z").GetUtcTime(), 123456);  // truncated
  EXPECT_EQ(DateTime("1970-01-01T01:30:00+01:30").GetUtcTime(), 0);
  EXPECT_EQ(DateTime("1969-12-31T22:00:00-02:00").GetUtcTime(), 0);
}

TEST(DateTimeTest, RefusesMalformedText) {
  for (const char* text :
       {"", "2026-12-05", "2026-12-05 19:09:11Z", "2026-13-01T00:00:00Z", "2026-02-29T00:00:00Z",
        "2026-04-31T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
        "2026-01-01T00:00:60Z", "2026-01-01T00:00:00.Z", "2026-01-01T00:00:00ZZ",
        "2026-01-01T00:00:00+1:00", "2026-01-01T00:00:00+15:00", "26-01-01T00:00:00Z",
        "0000-01-01T00:00:00Z", "2026-01-01T00:00:00Z "}) {
    EXPECT_THROW(DateTime{text}, DateTimeFormatException) << text;
  }
}

TEST(DateTimeTest, TextFormRoundTrips) {
  EXPECT_EQ(DateTime("2026-12-05T19:09:11Z").ToString(), "2026-12-05T19:09:11Z");
  EXPECT_EQ(DateTime("2024-02-29T00:00:00.000250Z").ToString(), "2024-02-29T00:00:00.000250Z");
  EXPECT_EQ(DateTime::FromUtcMicroseconds(-1).ToString(), "1969-12-31T23:59:59.999999Z");
  EXPECT_EQ(DateTime().ToString(), "1970-01-01T00:00:00Z");
  const DateTime late("9999-12-31T23:59:59Z");
  EXPECT_EQ(DateTime(late.ToString()), late);
  // The log lines' millisecond form.
  EXPECT_EQ(FormatUtcMilliseconds(1796497751042), "2026-12-05T19:09:11.042Z");
  EXPECT_EQ(FormatUtcMilliseconds(951825600999), "2000-02-29T12:00:00.999Z");
  EXPECT_EQ(FormatUtcMilliseconds(253402300799000), "9999-12-31T23:59:59.000Z");
  // The same second again, then one before it: the remembered second is reused only when equal.
  std::string out = "at ";
  AppendUtcMilliseconds(out, 253402300799007);
  AppendUtcMilliseconds(out, 253402300798999);
  EXPECT_EQ(out, "at 9999-12-31T23:59:59.007Z9999-12-31T23:59:58.999Z");
}

}  // namespace
}  // namespace Basalt::System
