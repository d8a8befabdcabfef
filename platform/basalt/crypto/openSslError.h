// OpenSSL's thread-local error queue as text for exception messages.
#pragma once

#include <string>

namespace Basalt::Crypto {

// Drains the calling thread's OpenSSL error queue; "; "-joined texts, or `fallback` when empty.
std::string TakeOpenSslErrors(const std::string& fallback);

}  // namespace Basalt::Crypto
