#include "platform/configstore/compactInstanceId.h"

namespace NoxConfigStore {

namespace {

constexpr size_t kUuidLength = 36;
constexpr char kDigits[] = "0123456789abcdef";

bool IsDash(size_t position) {
  return position == 8 || position == 13 || position == 18 || position == 23;
}

// 0 to 15 for a lowercase hexadecimal digit, else -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Only the form ToString writes back: anything else (capitals, braces) is kept as text.
bool ParseLowercaseUuid(std::string_view text, std::array<uint8_t, 16>& bytes) {
  if (text.size() != kUuidLength) return false;
  size_t nibble = 0;
  for (size_t i = 0; i < kUuidLength; ++i) {
    if (IsDash(i)) {
      if (text[i] != '-') return false;
      continue;
    }
    const int value = DigitValue(text[i]);
    if (value < 0) return false;
    uint8_t& byte = bytes[nibble / 2];
    byte = static_cast<uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
    ++nibble;
  }
  return true;
}

}  // namespace

CompactInstanceId::CompactInstanceId(std::string_view text) {
  if (!ParseLowercaseUuid(text, uuid_)) text_ = std::make_unique<const std::string>(text);
}

std::string CompactInstanceId::ToString() const {
  if (text_) return *text_;
  std::string text;
  text.reserve(kUuidLength);
  for (size_t i = 0, nibble = 0; i < kUuidLength; ++i) {
    if (IsDash(i)) {
      text += '-';
      continue;
    }
    const uint8_t byte = uuid_[nibble / 2];
    text += kDigits[nibble % 2 == 0 ? byte >> 4 : byte & 0x0F];
    ++nibble;
  }
  return text;
}

}  // namespace NoxConfigStore
