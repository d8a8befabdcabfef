#include "platform/basalt/crypto/base64.h"

#include <array>

#include "platform/basalt/exception.h"

namespace Basalt::StringUtil {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kInvalid = -1;
constexpr int8_t kSpace = -2;
constexpr int8_t kPad = -3;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  table[' '] = table['\t'] = table['\r'] = table['\n'] = kSpace;
  table['='] = kPad;
  return table;
}

constexpr auto kDecodeTable = MakeDecodeTable();

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    const size_t remaining = length - i;
    uint32_t group = data[i] << 16;
    if (remaining > 1) group |= data[i + 1] << 8;
    if (remaining > 2) group |= data[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += remaining > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += remaining > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

std::string Base64Encode(std::string_view data) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  int count = 0;
  int padding = 0;
  for (const char c : text) {
    const int8_t value = kDecodeTable[static_cast<uint8_t>(c)];
    if (value == kSpace) continue;
    if (value == kInvalid) throw Exception("Invalid character in Base64 text");
    if (value == kPad) {
      if (count < 2) throw Exception("Misplaced padding in Base64 text");
      ++padding;
      ++count;
    } else {
      if (padding > 0) throw Exception("Data after padding in Base64 text");
      group = (group << 6) | static_cast<uint32_t>(value);
      ++count;
    }
    if (count == 4) {
      group <<= 6 * padding;
      out.push_back(static_cast<uint8_t>(group >> 16));
      if (padding < 2) out.push_back(static_cast<uint8_t>(group >> 8));
      if (padding < 1) out.push_back(static_cast<uint8_t>(group));
      group = 0;
      count = 0;
      if (padding > 0) padding = 3;  // Only whitespace may follow the padded group.
    }
  }
  if (count != 0) throw Exception("Truncated Base64 text");
  return out;
}

}  // namespace Basalt::StringUtil
