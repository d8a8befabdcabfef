// For tests: a fresh host root in a temporary directory, named by TESSEL_ROOT for the scope.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/configstore/configStore.h"

namespace NoxConfigStore::Testing {

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
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  TemporaryHostRoot(const TemporaryHostRoot&) = delete;
  TemporaryHostRoot& operator=(const TemporaryHostRoot&) = delete;

  const std::string& Path() const { return path_; }

  ConfigStoreOptions StoreOptions() const { return ConfigStoreOptions::ForHost(sGlobalNamespace); }

  // Writes a schema file into the host's schema directory.
  void InstallSchema(const std::string& fileName, const std::string& text) const {
    auto directory = std::filesystem::path(StoreOptions().schemaDirectory);
    std::filesystem::create_directories(directory);
    std::ofstream(directory / fileName) << text;
  }

  // Copies a shipped schema file into the host's schema directory.
  void InstallSchemaFile(const std::string& sourcePath) const {
    auto directory = std::filesystem::path(StoreOptions().schemaDirectory);
    std::filesystem::create_directories(directory);
    std::filesystem::copy_file(sourcePath, directory / std::filesystem::path(sourcePath).filename(),
                               std::filesystem::copy_options::overwrite_existing);
  }

 private:
  std::string path_;
  std::optional<std::string> previous_;
};

}  // namespace NoxConfigStore::Testing
