#include "apps/noxtokend/orbi/externalSts/verifiedTokenCache.h"

#include <algorithm>
#include <mutex>

namespace Nox::Authn {

namespace {

// A node, its bucket, the strings' headers and the entry's own block.
constexpr size_t kEntryOverhead = 256;

size_t BytesOf(std::string_view token, const VerifiedExternalToken& entry) {
  size_t bytes = kEntryOverhead + 2 * token.size() + entry.issuer.size() + entry.alias.size() +
                 entry.certificate.size() + entry.claims.username.size() +
                 entry.claims.domain.size() + entry.claims.groupsText.size();
  for (const auto& failed : entry.failedBefore) bytes += sizeof(failed) + failed.text.size();
  return bytes + token.size();  // the key
}

bool Expired(const VerifiedExternalToken& entry, int64_t nowSeconds) {
  return nowSeconds > entry.claims.exp;
}

}  // namespace

VerifiedTokenCache::EntryPtr VerifiedTokenCache::Find(const Basalt::HashedText& token,
                                                      int64_t nowSeconds) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end() || Expired(*it->second.entry, nowSeconds)) return nullptr;
  return it->second.entry;
}

void VerifiedTokenCache::Insert(const Basalt::HashedText& token, EntryPtr entry,
                                int64_t nowSeconds) {
  if (!entry || Expired(*entry, nowSeconds)) return;
  const size_t bytes = BytesOf(token.text, *entry);
  if (bytes > kMaxBytes / 64) return;
  std::unique_lock lock(mutex_);
  if (auto it = entries_.find(token); it != entries_.end()) EraseAt(it);
  MakeRoom(bytes, nowSeconds);
  entries_.emplace(std::string(token.text), Kept{std::move(entry), bytes});
  usedBytes_ += bytes;
}

void VerifiedTokenCache::Erase(const Basalt::HashedText& token) {
  std::unique_lock lock(mutex_);
  if (auto it = entries_.find(token); it != entries_.end()) EraseAt(it);
}

size_t VerifiedTokenCache::size() const {
  std::shared_lock lock(mutex_);
  return entries_.size();
}

void VerifiedTokenCache::EraseAt(Map::iterator at) {
  usedBytes_ -= at->second.bytes;
  entries_.erase(at);
}

void VerifiedTokenCache::MakeRoom(size_t bytes, int64_t nowSeconds) {
  const auto fits = [&] {
    return entries_.size() < kMaxEntries && usedBytes_ + bytes <= kMaxBytes;
  };
  if (fits()) return;
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (Expired(*it->second.entry, nowSeconds)) EraseAt(it);
    it = next;
  }
  while (!fits()) {
    EraseAt(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
      return a.second.entry->claims.exp < b.second.entry->claims.exp;
    }));
  }
}

}  // namespace Nox::Authn
