// Showing text that a client chose. In a log line or an error message such text must not forge
// structure (line breaks, terminal escapes) nor make the daemon repeat megabytes it was sent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Basalt {

// Bytes of one client text that an error message or a log line quotes: enough for a certificate,
// small enough that no answer or line repeats megabytes.
inline constexpr std::size_t kQuoteLimit = 4096;

// The first bytes of `text`, at most `limit` and never a split UTF-8 character, followed by
// "…(cut, N bytes)" where N is `fullLength`, the length of the whole text.
std::string MarkCut(std::string_view text, std::size_t limit, std::size_t fullLength);

// `text` itself when it has at most `limit` bytes, else MarkCut(text, limit, text.size()).
std::string QuoteClientText(std::string_view text, std::size_t limit = kQuoteLimit);

// Control characters as visible escapes: "\n", "\r", "\t", "\xHH" for the other C0 bytes, DEL
// and bytes that are not UTF-8, "\uHHHH" for C1 controls and the Unicode line and paragraph
// separators. Everything else, a backslash included, stays as it is.
std::string EscapeControls(std::string_view text);

// True when EscapeControls would change `text`.
bool NeedsEscape(std::string_view text);

}  // namespace Basalt
