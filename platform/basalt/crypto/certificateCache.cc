#include "platform/basalt/crypto/certificateCache.h"

namespace Basalt::Crypto {

CertificateCache::CertificateCache(size_t capacity) : capacity_(capacity) {}

CertificatePtr CertificateCache::Decode(const uint8_t* der, size_t length) {
  if (length > kMaxCachedDerSize || capacity_ == 0) return CreateCertificate(der, length);
  const std::string_view key(reinterpret_cast<const char*>(der), length);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = index_.find(key);
    if (found != index_.end()) {
      recency_.splice(recency_.begin(), recency_, found->second);
      return found->second->second;
    }
  }
  CertificatePtr decoded = CreateCertificate(der, length);
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.find(key) != index_.end()) return decoded;  // another thread got there first
  if (recency_.size() >= capacity_) {
    index_.erase(recency_.back().first);
    recency_.pop_back();
  }
  recency_.emplace_front(std::string(key), decoded);
  index_.emplace(recency_.front().first, recency_.begin());
  return decoded;
}

size_t CertificateCache::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recency_.size();
}

}  // namespace Basalt::Crypto
