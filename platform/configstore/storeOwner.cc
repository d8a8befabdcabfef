#include "platform/configstore/storeOwner.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/configstore/configStoreException.h"

namespace NoxConfigStore {

StoreOwner::StoreOwner(const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const std::string path = directory + "/owner.lock";
  lock_ = std::make_unique<Basalt::System::UniqueDescriptor>(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!*lock_) {
    throw ConfigStoreException("Cannot open the configuration store's lock " + path + ": " +
                               std::strerror(errno));
  }
  const int fd = lock_->get();
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int cause = errno;
    if (cause != EWOULDBLOCK) {
      throw ConfigStoreException("Cannot lock the configuration store " + directory + ": " +
                                 std::strerror(cause));
    }
    char pid[24] = {};
    const ssize_t length = ::pread(fd, pid, sizeof pid - 1, 0);
    std::string owner;
    for (ssize_t i = 0; i < length && pid[i] >= '0' && pid[i] <= '9'; ++i) owner += pid[i];
    throw ConfigStoreException("the configuration store " + directory +
                               " is in use by another process" +
                               (owner.empty() ? "" : " (pid " + owner + ")") +
                               ": stop it first, one daemon serves one root");
  }
  // Best effort: the lock, not the text, is what excludes.
  const std::string self = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, self.data(), self.size(), 0);
  }
}

}  // namespace NoxConfigStore
