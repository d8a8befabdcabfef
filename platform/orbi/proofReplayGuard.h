// Remembers the proofs of possession accepted while they could still be presented, so that each is
// accepted once. A proof is known by a digest of what it proves (algorithm, key and signed text),
// not by its bytes: a signature re-encoded, or an ECDSA signature turned into its other valid form,
// proves the same call and is the same proof.
//
// Memory is bounded: an entry is dropped once its proof's window has passed, and at most
// `capacity` entries are kept. When that many proofs are still within their windows, new proofs
// are refused (kFull) until some expire: forgetting one instead would let it be replayed.
//
// Thread-safe: one mutex guards the entries; each check is a hash lookup plus the removal of the
// entries that expired since the last check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Orbi::Security {

class ProofReplayGuard {
 public:
  static constexpr std::size_t kDefaultCapacity = 65536;  // a few MB at most

  using ProofId = std::array<unsigned char, 32>;

  enum class Verdict { kFresh, kReplayed, kFull };

  explicit ProofReplayGuard(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // The identity of a proof: SHA-256 over the three parts, each preceded by its length.
  static ProofId Identify(std::string_view algorithm, std::string_view key,
                          std::string_view signedText);

  // kFresh records the proof until `expiresAt`; a proof recorded before and not yet expired at
  // `now` is kReplayed. Times in any one unit (the filter uses UTC microseconds).
  Verdict Admit(const ProofId& proof, int64_t now, int64_t expiresAt);

  std::size_t Size() const;

 private:
  struct Hash {
    std::size_t operator()(const ProofId& id) const;
  };
  using Expiry = std::pair<int64_t, ProofId>;

  void DropExpired(int64_t now);  // caller holds mutex_

  const std::size_t capacity_;
  mutable std::mutex mutex_;  // guards the two members below
  std::unordered_set<ProofId, Hash> seen_;
  std::priority_queue<Expiry, std::vector<Expiry>, std::greater<Expiry>> expiries_;
};

}  // namespace Orbi::Security
