#include "platform/basalt/crypto/openSslError.h"

#include <openssl/err.h>

namespace Basalt::Crypto {

std::string TakeOpenSslErrors(const std::string& fallback) {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? fallback : text;
}

}  // namespace Basalt::Crypto
