// Digests the tree shows to people or keys on: one helper instead of a hex loop per caller.
#pragma once

#include <string>
#include <string_view>

namespace Basalt::Crypto {

// The SHA-256 of `bytes` as 64 lower-case hex digits. Thread-safe.
std::string Sha256Hex(std::string_view bytes);

}  // namespace Basalt::Crypto
