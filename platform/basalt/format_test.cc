// Text the daemon makes: positional formatting, and client text made safe to show.
#include "platform/basalt/format.h"

#include <gtest/gtest.h>

#include "platform/basalt/clientText.h"

namespace Basalt {
namespace {

using namespace std::string_literals;

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

}  // namespace
}  // namespace Basalt
