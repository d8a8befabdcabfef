// Positional message formatting: "%1 of %2" with arguments substituted by position.
#pragma once

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace Basalt {

// Replaces %1..%9 by the given texts; "%%" yields "%", an unknown position yields nothing.
std::string FormatPositional(std::string_view pattern, const std::vector<std::string>& args);

template <class T>
std::string ToText(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(value));
  } else {
    std::ostringstream out;
    out << value;
    return out.str();
  }
}

template <class... Args>
std::string Format(std::string_view pattern, const Args&... args) {
  return FormatPositional(pattern, {ToText(args)...});
}

}  // namespace Basalt
