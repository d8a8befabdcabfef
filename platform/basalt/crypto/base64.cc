#include "platform/basalt/crypto/base64.h"

#include <array>
#include <cstdint>

namespace Basalt::Crypto {
namespace {

constexpr char kStandardSymbols[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSymbols[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr int8_t kInvalid = -1;
constexpr int8_t kSpace = -2;
constexpr int8_t kPad = -3;

using DecodeTable = std::array<int8_t, 256>;

constexpr DecodeTable MakeDecodeTable(const char* symbols, bool padded) {
  DecodeTable table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(symbols[i])] = static_cast<int8_t>(i);
  if (padded) {
    table[' '] = table['\t'] = table['\r'] = table['\n'] = kSpace;
    table['='] = kPad;
  }
  return table;
}

constexpr DecodeTable kStandardTable = MakeDecodeTable(kStandardSymbols, true);
constexpr DecodeTable kUrlTable = MakeDecodeTable(kUrlSymbols, false);

// Whole groups of three bytes straight onto the end of `text`, grown once to its final size;
// every token issued is encoded here.
void Encode(std::string& text, const uint8_t* data, size_t length, Base64Alphabet alphabet) {
  const bool padded = alphabet == Base64Alphabet::kStandard;
  const char* symbols = padded ? kStandardSymbols : kUrlSymbols;
  const size_t whole = length / 3;
  const size_t rest = length % 3;
  const size_t start = text.size();
  text.resize(start + whole * 4 + (rest == 0 ? 0 : padded ? 4 : rest + 1));
  char* out = text.data() + start;
  for (size_t i = 0; i < whole; ++i, data += 3, out += 4) {
    const uint32_t bits = uint32_t{data[0]} << 16 | uint32_t{data[1]} << 8 | data[2];
    out[0] = symbols[bits >> 18];
    out[1] = symbols[(bits >> 12) & 0x3f];
    out[2] = symbols[(bits >> 6) & 0x3f];
    out[3] = symbols[bits & 0x3f];
  }
  if (rest > 0) {
    const uint32_t bits = uint32_t{data[0]} << 16 | (rest == 2 ? uint32_t{data[1]} << 8 : 0);
    out[0] = symbols[bits >> 18];
    out[1] = symbols[(bits >> 12) & 0x3f];
    if (rest == 2) out[2] = symbols[(bits >> 6) & 0x3f];
    if (padded) {
      if (rest == 1) out[2] = '=';
      out[3] = '=';
    }
  }
}

}  // namespace

std::string EncodeBase64(std::string_view bytes, Base64Alphabet alphabet) {
  std::string text;
  Encode(text, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), alphabet);
  return text;
}

std::string EncodeBase64(std::span<const uint8_t> bytes, Base64Alphabet alphabet) {
  std::string text;
  Encode(text, bytes.data(), bytes.size(), alphabet);
  return text;
}

void AppendBase64(std::string& text, std::string_view bytes, Base64Alphabet alphabet) {
  Encode(text, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), alphabet);
}

std::optional<std::string> DecodeBase64(std::string_view text, Base64Alphabet alphabet) {
  const bool padded = alphabet == Base64Alphabet::kStandard;
  const DecodeTable& table = padded ? kStandardTable : kUrlTable;
  std::string bytes(text.size() / 4 * 3 + 2, '\0');
  size_t length = 0;
  uint32_t bits = 0;
  int count = 0;         // bits not yet emitted
  size_t symbols = 0;    // characters of the alphabet and padding, white space not counted
  bool padding = false;  // after the first '=' only '=' (up to the group's end) or white space
  // Whole groups of four symbols, as every token has them, three bytes at a time; the first group
  // with white space, padding or a stranger is left to the loop below, which judges it.
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  size_t at = 0;
  for (; text.size() - at >= 4; at += 4) {
    const int8_t a = table[in[at]], b = table[in[at + 1]], c = table[in[at + 2]],
                 d = table[in[at + 3]];
    if ((a | b | c | d) < 0) break;
    const uint32_t group = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
    bytes[length] = static_cast<char>(group >> 16);
    bytes[length + 1] = static_cast<char>(group >> 8);
    bytes[length + 2] = static_cast<char>(group);
    length += 3;
    symbols += 4;
  }
  for (const char c : text.substr(at)) {
    const int8_t value = table[static_cast<uint8_t>(c)];
    if (value == kSpace) continue;
    if (value == kInvalid) return std::nullopt;
    if (value == kPad) {
      // Padding fills the last group after at least two characters, and never starts one.
      if (symbols % 4 < 2) return std::nullopt;
      padding = true;
      ++symbols;
      continue;
    }
    if (padding) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    ++symbols;
    if (count >= 8) {
      count -= 8;
      bytes[length++] = static_cast<char>((bits >> count) & 0xff);
    }
  }
  if (padded) {
    if (symbols % 4 != 0) return std::nullopt;
  } else {
    // A single character in the last group cannot carry a whole byte.
    if (symbols % 4 == 1) return std::nullopt;
    if ((bits & ((1u << count) - 1)) != 0) return std::nullopt;
  }
  bytes.resize(length);
  return bytes;
}

}  // namespace Basalt::Crypto
