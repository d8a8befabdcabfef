// For tests: a fresh host root in a temporary directory, named by TESSEL_ROOT for the object's
// life and removed with everything in it afterwards. The environment is the process's: one at a
// time, from one thread.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Basalt::Testing {

class TemporaryHostRoot {
 public:
  TemporaryHostRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nox-root-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* previous = getenv("TESSEL_ROOT")) previous_ = previous;
    setenv("TESSEL_ROOT", path_.c_str(), 1);
  }
  ~TemporaryHostRoot() {
    if (previous_) {
      setenv("TESSEL_ROOT", previous_->c_str(), 1);
    } else {
      unsetenv("TESSEL_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryHostRoot(const TemporaryHostRoot&) = delete;
  TemporaryHostRoot& operator=(const TemporaryHostRoot&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace Basalt::Testing
