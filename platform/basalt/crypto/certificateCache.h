// Decoded certificates by their exact DER bytes, so that a certificate seen again is not decoded
// again (OpenSSL 3 spends about 100 µs decoding one, most of it finding the key's decoder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/basalt/crypto/certificate.h"

namespace Basalt::Crypto {

// Holds at most `capacity` certificates of at most kMaxCachedDerSize bytes each (so at most
// capacity × 16 KiB of DER beside the decoded objects) and forgets the least recently used one
// first. Larger inputs and inputs that are not certificates are decoded every time, never kept.
// Entries are found by comparing the whole DER input, never by its hash alone.
// Thread-safe: one mutex guards the index; decoding runs outside it.
class CertificateCache {
 public:
  static constexpr size_t kDefaultCapacity = 256;
  static constexpr size_t kMaxCachedDerSize = 16 * 1024;

  explicit CertificateCache(size_t capacity = kDefaultCapacity);
  CertificateCache(const CertificateCache&) = delete;
  CertificateCache& operator=(const CertificateCache&) = delete;

  // As CreateCertificate: throws Basalt::Exception when `der` is not a certificate.
  CertificatePtr Decode(const uint8_t* der, size_t length);

  size_t Size() const;

 private:
  using Entry = std::pair<std::string, CertificatePtr>;

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> recency_;  // most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace Basalt::Crypto
