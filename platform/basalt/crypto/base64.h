// Base64 (RFC 4648, standard alphabet, padded) to and from bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Basalt::StringUtil {

std::string Base64Encode(const uint8_t* data, size_t length);
std::string Base64Encode(std::string_view data);

// Whitespace (space, tab, CR, LF) between characters is skipped, as in PEM bodies and XML text.
// Throws Basalt::Exception on any other character outside the alphabet or on bad padding.
std::vector<uint8_t> Base64Decode(std::string_view text);

}  // namespace Basalt::StringUtil
