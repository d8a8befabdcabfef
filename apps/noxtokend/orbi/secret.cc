#include "apps/noxtokend/orbi/secret.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/hostPath.h"

namespace Com::Tessel::Nox::Authentication {
namespace {

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, CloseFile>;

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
  UniqueFile file(std::fopen(path_.c_str(), "rbe"));
  if (!file) {
    throw Basalt::Exception(
        Basalt::Format("Cannot open signing secret file %1: %2", path_, std::strerror(errno)));
  }
  // One byte beyond the limit tells an oversized file from one of exactly the limit.
  std::array<char, kMaxKeyLength + 1> buffer{};
  const std::size_t length = std::fread(buffer.data(), 1, buffer.size(), file.get());
  if (std::ferror(file.get())) {
    throw Basalt::Exception(
        Basalt::Format("Cannot read signing secret file %1: %2", path_, std::strerror(errno)));
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

SecretFile Secret::File() { return SecretFile(Basalt::System::HostPath(kPath), _sSecret, gM); }

const std::string& Secret::Get() { return File().Get(); }

const std::string& Secret::GetNonEmpty() { return File().GetNonEmpty(); }

}  // namespace Com::Tessel::Nox::Authentication
