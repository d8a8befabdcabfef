// The key that signs the daemon's tokens. Another host component writes it to a file; the daemon
// only reads it, once: the first non-empty key is kept for the life of the process.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace Com::Tessel::Nox::Authentication {

// Reads a key file into a cache guarded by a mutex, both owned by the caller.
//
// The key is the file's bytes up to the first NUL. An empty key (empty file, or a NUL first) is not
// cached, so every call reads the file again until it holds a key. A missing or unreadable file, or
// one longer than kMaxKeyLength bytes, or anything but a regular file (a FIFO, a device, a
// directory) raises Basalt::Exception and leaves the cache empty. Opening and reading never block.
class SecretFile {
 public:
  static constexpr std::size_t kMaxKeyLength = 256;
  // Shorter keys are used, but reported: HS256 wants at least its digest's length.
  static constexpr std::size_t kAdvisedKeyLength = 32;

  SecretFile(std::string path, std::string& cache, std::mutex& guard);

  // The cached key, loading it when the cache is empty. The reference stays valid and unchanged
  // for the life of the cache; an empty key is returned as a reference to a constant empty string.
  const std::string& Get();

  // Like Get, but an empty key raises Basalt::Exception: nothing may be signed with it.
  const std::string& GetNonEmpty();

  const std::string& GetPath() const { return path_; }

  // What keeps the file from signing or lets someone else learn or change the key: a failed read,
  // an empty or short key, a file group or others may read or write, one of another non-root
  // owner, or a directory others may write. One sentence each; empty when the file is fit. Reads
  // the file but never the cache, so a key written later is still the one loaded first.
  std::vector<std::string> Problems() const;

 private:
  std::string ReadKey() const;

  std::string path_;
  std::string& cache_;
  std::mutex& guard_;
};

// Guards Secret::_sSecret.
extern std::mutex gM;

// The process-wide signing key, read from HostPath("/var/run/tessel/tokend-secret").
class Secret {
 public:
  static constexpr char kPath[] = "/var/run/tessel/tokend-secret";

  static const std::string& Get();
  static const std::string& GetNonEmpty();
  static std::vector<std::string> Problems();

 private:
  static SecretFile File();

  static std::string _sSecret;
};

}  // namespace Com::Tessel::Nox::Authentication
