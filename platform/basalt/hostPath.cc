#include "platform/basalt/hostPath.h"

#include <cstdlib>

namespace Basalt::System {

std::string HostRoot() {
  const char* root = std::getenv("TESSEL_ROOT");
  if (root == nullptr) return {};
  std::string text(root);
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::string HostPath(std::string_view absolutePath) {
  std::string path = HostRoot();
  if (!absolutePath.empty() && absolutePath.front() != '/') path += '/';
  path += absolutePath;
  return path;
}

}  // namespace Basalt::System
