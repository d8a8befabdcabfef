#include "platform/basalt/format.h"

namespace Basalt {

std::string FormatPositional(std::string_view pattern, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%' || i + 1 == pattern.size()) {
      out += c;
      continue;
    }
    char next = pattern[i + 1];
    if (next == '%') {
      out += '%';
      ++i;
    } else if (next >= '1' && next <= '9') {
      size_t index = static_cast<size_t>(next - '1');
      if (index < args.size()) out += args[index];
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace Basalt
