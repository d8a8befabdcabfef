// Text the daemon makes: positional formatting, client text made safe to show, times and UUIDs.
#include "platform/basalt/format.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/basalt/clientText.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/uuid.h"

namespace Basalt {
namespace {

using namespace std::string_literals;
using namespace System;

TEST(FormatTest, SubstitutesByPositionNotByOrder) {
  EXPECT_EQ(Format("%2 before %1", "a", 7), "7 before a");
  EXPECT_EQ(Format("100%% of %1", true), "100% of 1");
  EXPECT_EQ(Format("%3 missing", "x"), " missing");
  EXPECT_EQ(Format("trailing %"), "trailing %");
}

TEST(ClientTextTest, EscapesEveryControlCharacterAndIllFormedByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text, \\ and \u00e9 stay", "plain text, \\ and \u00e9 stay"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {"fifteen bytes..\x7f, then plain", "fifteen bytes..\\x7f, then plain"},
      {"nul\0end"s, "nul\\x00end"},
      {"c1 \u0085 \u009b and \u2028\u2029", "c1 \\u0085 \\u009b and \\u2028\\u2029"},
      {"bad \xc0\xaf \xed\xa0\x80 \xff cut \xe2\x80",
       "bad \\xc0\\xaf \\xed\\xa0\\x80 \\xff cut \\xe2\\x80"},
  };
  for (const auto& [raw, shown] : cases) {
    EXPECT_EQ(EscapeControls(raw), shown);
    EXPECT_EQ(NeedsEscape(raw), raw != shown) << shown;
  }
}

TEST(ClientTextTest, QuoteCutsLongTextOnACharacterBoundaryAndSaysSo) {
  EXPECT_EQ(QuoteClientText("short", 5), "short");
  EXPECT_EQ(QuoteClientText("abcdefgh", 3), "abc\u2026(cut, 8 bytes)");
  // "é" is two bytes; a limit inside it keeps the whole character out.
  EXPECT_EQ(QuoteClientText("ab\u00e9cd", 3), "ab\u2026(cut, 6 bytes)");
  EXPECT_EQ(QuoteClientText(std::string(19'000'000, 'x')).size(),
            kQuoteLimit + std::string("\u2026(cut, 19000000 bytes)").size());
}

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

TEST(UuidTest, StaysDistinctAndWellFormedAcrossPoolRefillsInLowerCaseGroups) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    unsigned char uuid[16];
    ASSERT_TRUE(UUID_CreateRandom(uuid));
    std::string text = UUID_PackText(uuid);
    ASSERT_EQ(text.size(), 36u);
    ASSERT_EQ(text[14], '4') << text;
    ASSERT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
  const unsigned char fixed[16] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0,
                                   0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  EXPECT_EQ(UUID_PackText(fixed), "12345678-9abc-def0-0123-456789abcdef");
}

}  // namespace
}  // namespace Basalt
