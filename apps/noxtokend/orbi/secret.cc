#include "apps/noxtokend/orbi/secret.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/hostPath.h"
#include "platform/basalt/uniqueDescriptor.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

using Basalt::System::UniqueDescriptor;

Basalt::Exception NotRegular(const std::string& path) {
  return Basalt::Exception(
      Basalt::Format("Signing secret file %1 is not a regular file; refusing it", path));
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

const std::string& EmptyKey() {
  static const std::string empty;
  return empty;
}

}  // namespace

std::mutex gM;
std::string Secret::_sSecret;

SecretFile::SecretFile(std::string path, std::string& cache, std::mutex& guard)
    : path_(std::move(path)), cache_(cache), guard_(guard) {}

const std::string& SecretFile::Get() {
  std::lock_guard<std::mutex> lock(guard_);
  if (cache_.empty()) {
    std::string key = ReadKey();
    // Callers may hold the returned reference, so the cache only ever changes from empty once.
    if (key.empty()) return EmptyKey();
    cache_.swap(key);
  }
  return cache_;
}

const std::string& SecretFile::GetNonEmpty() {
  const std::string& key = Get();
  if (key.empty()) {
    throw Basalt::Exception(Basalt::Format("Signing secret file %1 holds no key", path_));
  }
  return key;
}

std::string SecretFile::ReadKey() const {
  auto fail = [this](const char* what) {
    const int error = errno;
    return Basalt::Exception(
        Basalt::Format("%1 signing secret file %2: %3", what, path_, std::strerror(error)));
  };
  // A FIFO or a device must never block a request thread: look before opening, open without
  // blocking, and check again on the open file in case the path changed in between.
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) throw fail("Cannot open");
  if (!S_ISREG(info.st_mode)) throw NotRegular(path_);
  UniqueDescriptor file(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) throw fail("Cannot open");
  if (::fstat(file.get(), &info) != 0) throw fail("Cannot read");
  if (!S_ISREG(info.st_mode)) throw NotRegular(path_);

  // One byte beyond the limit tells an oversized file from one of exactly the limit.
  std::array<char, kMaxKeyLength + 1> buffer{};
  std::size_t length = 0;
  while (length < buffer.size()) {
    ssize_t got = ::read(file.get(), buffer.data() + length, buffer.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      explicit_bzero(buffer.data(), buffer.size());
      throw fail("Cannot read");
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  const bool oversized = length > kMaxKeyLength;
  std::string key;
  if (!oversized) {
    const char* begin = buffer.data();
    const char* nul = static_cast<const char*>(std::memchr(begin, '\0', length));
    key.assign(begin, nul != nullptr ? nul : begin + length);
  }
  explicit_bzero(buffer.data(), buffer.size());
  if (oversized) {
    throw Basalt::Exception(Basalt::Format(
        "Signing secret file %1 is longer than %2 bytes; refusing it", path_, kMaxKeyLength));
  }
  return key;
}

std::vector<std::string> SecretFile::Problems() const {
  std::vector<std::string> problems;
  try {
    std::string key = ReadKey();
    const std::size_t length = key.size();
    explicit_bzero(key.data(), key.size());
    if (length == 0) {
      problems.push_back(Basalt::Format(
          "Signing secret file %1 holds no key; no token can be created until it holds one",
          path_));
    } else if (length < kAdvisedKeyLength) {
      problems.push_back(
          Basalt::Format("Signing secret file %1 holds a key of %2 bytes; use %3 or more", path_,
                         length, kAdvisedKeyLength));
    }
  } catch (const Basalt::Exception& e) {
    problems.push_back(std::string(e.what()) + "; no token can be created until it is readable");
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
      problems.push_back(Basalt::Format(
          "Signing secret file %1 is open to group or others (mode %2); make it 0600", path_,
          ModeText(info.st_mode)));
    }
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
      problems.push_back(Basalt::Format(
          "Signing secret file %1 belongs to uid %2, who can change the key; make root its owner",
          path_, info.st_uid));
    }
  }
  const std::string directory = std::filesystem::path(path_).parent_path().string();
  if (::stat(directory.c_str(), &info) == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problems.push_back(Basalt::Format(
        "Directory %1 of the signing secret can be written by group or others (mode %2), who "
        "can replace the key",
        directory, ModeText(info.st_mode)));
  }
  return problems;
}

SecretFile Secret::File() { return SecretFile(Basalt::System::HostPath(kPath), _sSecret, gM); }

// Once read, the key never changes: a call's lookup need not build the file's path again.
const std::string& Secret::Get() {
  {
    std::lock_guard<std::mutex> lock(gM);
    if (!_sSecret.empty()) return _sSecret;
  }
  return File().Get();
}

const std::string& Secret::GetNonEmpty() { return File().GetNonEmpty(); }

std::vector<std::string> Secret::Problems() { return File().Problems(); }

}  // namespace Com::Tessel::Nox::Authentication
