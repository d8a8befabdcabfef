// For tests: a fresh host root in a temporary directory, named by TESSEL_ROOT for the scope.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/basalt/testing/temporaryHostRoot.h"
#include "platform/configstore/configStore.h"

namespace NoxConfigStore::Testing {

class TemporaryHostRoot {
 public:
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
  Basalt::Testing::TemporaryHostRoot root_;
  std::string path_ = root_.Path().string();
};

}  // namespace NoxConfigStore::Testing
