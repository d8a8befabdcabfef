// Remembers the proofs of possession accepted while they could still be presented, so that each is
// accepted once. A proof is known by a digest of what it proves (algorithm, key and signed text),
// not by its bytes: a signature re-encoded, or an ECDSA signature turned into its other valid form,
// proves the same call and is the same proof.
//
// Memory is bounded: an entry is dropped once its proof's window has passed, and at most
// `capacity` entries are kept. When that many proofs are still within their windows, new proofs
// are refused (kFull) until some expire: forgetting one instead would let it be replayed.
// Entries sit in one open-addressed table (24 bytes a slot, at most half the slots used) that
// grows as needed; the expired ones are swept out when it fills, so a check is a hash lookup and
// the sweeps cost a constant per entry.
//
// Thread-safe: one mutex guards the table.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

namespace Orbi::Security {

class ProofReplayGuard {
 public:
  // 218 proofs a second for 20 minutes (the longest an entry is kept); 12 MB at most.
  static constexpr std::size_t kDefaultCapacity = 262144;

  using ProofId = std::array<unsigned char, 32>;

  enum class Verdict { kFresh, kReplayed, kFull };

  explicit ProofReplayGuard(std::size_t capacity = kDefaultCapacity);

  // The identity of a proof: SHA-256 over the three parts, each preceded by its length.
  static ProofId Identify(std::string_view algorithm, std::string_view key,
                          std::string_view signedText);

  // kFresh records the proof until `expiresAt`; a proof recorded before and not yet expired at
  // `now` is kReplayed. Times in any one unit (the filter uses UTC microseconds).
  Verdict Admit(const ProofId& proof, int64_t now, int64_t expiresAt);

  // Entries kept, expired ones not yet swept out included.
  std::size_t Size() const;

 private:
  // The first 128 bits of the digest: a false match among even a full table is beyond reach.
  struct Slot {
    uint64_t id[2];
    int64_t expiresAt;
  };
  static constexpr int64_t kEmpty = INT64_MIN;

  Slot* Probe(const uint64_t (&id)[2]);              // the slot of `id`, or the empty one to take
  void Rebuild(int64_t now, std::size_t slotCount);  // keeps only what is live at `now`

  const std::size_t capacity_;
  const std::size_t maxSlots_;
  mutable std::mutex mutex_;  // guards the three members below
  std::vector<Slot> slots_;   // a power of two in size
  std::size_t used_ = 0;
  int64_t nothingExpiresBefore_ = INT64_MIN;  // as of the last sweep
};

}  // namespace Orbi::Security
