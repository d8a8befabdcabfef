// External JWTs whose signature verified, remembered by their exact text with what that first
// check established, so that a client presenting the same token again (one token exchanged many
// times within its lifetime) costs no signature verification and no decoding. An entry is a
// record of the past only: the handler still checks it against the current registry, clock and
// policy on every call, so a token verified before is never trusted for that alone.
//
// Bounded: at most kMaxEntries entries taking at most kMaxBytes (an estimate that counts the
// token twice over for its decoded claims, plus the certificate texts kept). An entry whose "exp"
// has passed is never found again. A full cache makes room by dropping the entries that have
// expired, then those that expire first; an entry larger than a sixty-fourth of the bytes is
// not kept.
//
// Thread-safe: lookups share a read lock; insertions and removals take it exclusively. Entries
// are immutable and shared, so a caller may keep using one after it left the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/basalt/hashedText.h"
#include "platform/basalt/jsonHandle.h"

namespace Nox::Authn {

// The claims of an external token that authentication reads after its signature verified.
struct ExternalTokenClaims {
  long exp = 0;  // libjwt's integer reading, a negative one made 0
  std::string username;
  std::string domain;
  Basalt::Json::JsonPtr tree;  // the strictly read payload
  // libjwt's text of a "group_names" that is not an array; empty when there is none.
  std::string groupsText;
};

// A certificate that did not verify the token, tried before the one that did.
struct FailedCertificate {
  std::string text;
  bool keyUnreadable = false;  // no key could be taken from it (its log line differs)
};

struct VerifiedExternalToken {
  std::string issuer;
  std::string alias;
  std::vector<FailedCertificate> failedBefore;  // in the order they were tried
  std::string certificate;                      // the text of the one that verified
  ExternalTokenClaims claims;
};

class VerifiedTokenCache {
 public:
  using EntryPtr = std::shared_ptr<const VerifiedExternalToken>;

  static constexpr size_t kMaxEntries = 1024;
  static constexpr size_t kMaxBytes = 8 << 20;

  VerifiedTokenCache() = default;
  VerifiedTokenCache(const VerifiedTokenCache&) = delete;
  VerifiedTokenCache& operator=(const VerifiedTokenCache&) = delete;

  // The entry of `token` while `nowSeconds` is not past its "exp"; nullptr otherwise.
  EntryPtr Find(const Basalt::HashedText& token, int64_t nowSeconds) const;
  // Keeps `entry` for `token`, replacing any entry it had; an expired or oversized one is not
  // kept.
  void Insert(const Basalt::HashedText& token, EntryPtr entry, int64_t nowSeconds);
  void Erase(const Basalt::HashedText& token);

  size_t size() const;

 private:
  struct Kept {
    EntryPtr entry;
    size_t bytes;
  };
  using Map = std::unordered_map<std::string, Kept, Basalt::TextHash, std::equal_to<>>;

  // Drops entries until one of `bytes` fits. Called with the lock held exclusively.
  void MakeRoom(size_t bytes, int64_t nowSeconds);
  void EraseAt(Map::iterator at);

  mutable std::shared_mutex mutex_;  // guards entries_ and usedBytes_
  Map entries_;
  size_t usedBytes_ = 0;
};

}  // namespace Nox::Authn
