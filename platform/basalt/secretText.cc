#include "platform/basalt/secretText.h"

namespace Basalt::Service {

std::string ShortenedSecret(std::string_view secret) {
  constexpr std::size_t kShownFrom = 64;
  constexpr std::size_t kShown = 8;
  std::string shown(secret.size() >= kShownFrom ? secret.substr(0, kShown) : std::string_view());
  shown += "\u2026(secret, " + std::to_string(secret.size()) + " bytes)";
  return shown;
}

}  // namespace Basalt::Service
