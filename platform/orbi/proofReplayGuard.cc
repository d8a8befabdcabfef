#include "platform/orbi/proofReplayGuard.h"

#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace Orbi::Security {

ProofReplayGuard::ProofId ProofReplayGuard::Identify(std::string_view algorithm,
                                                     std::string_view key,
                                                     std::string_view signedText) {
  struct Deleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  const std::unique_ptr<EVP_MD_CTX, Deleter> ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  for (std::string_view part : {algorithm, key, signedText}) {
    const uint64_t length = part.size();
    ok = ok && EVP_DigestUpdate(ctx.get(), &length, sizeof length) == 1 &&
         EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1;
  }
  ProofId id{};
  unsigned int written = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), id.data(), &written) != 1 || written != id.size()) {
    throw std::runtime_error("SHA-256 is not available");
  }
  return id;
}

namespace {

constexpr std::size_t kFirstSlotCount = 64;

}  // namespace

ProofReplayGuard::ProofReplayGuard(std::size_t capacity)
    : capacity_(capacity),
      maxSlots_(std::max(kFirstSlotCount, std::bit_ceil(2 * capacity))),
      slots_(kFirstSlotCount, Slot{{0, 0}, kEmpty}) {}

ProofReplayGuard::Slot* ProofReplayGuard::Probe(const uint64_t (&id)[2]) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = id[0] & mask;; i = (i + 1) & mask) {  // never full: at most half is used
    Slot& slot = slots_[i];
    if (slot.expiresAt == kEmpty || (slot.id[0] == id[0] && slot.id[1] == id[1])) return &slot;
  }
}

void ProofReplayGuard::Rebuild(int64_t now, std::size_t slotCount) {
  std::vector<Slot> old(slotCount, Slot{{0, 0}, kEmpty});
  old.swap(slots_);
  used_ = 0;
  int64_t soonest = INT64_MAX;
  for (const Slot& slot : old) {
    if (slot.expiresAt == kEmpty || slot.expiresAt < now) continue;
    *Probe(slot.id) = slot;
    ++used_;
    soonest = std::min(soonest, slot.expiresAt);
  }
  nothingExpiresBefore_ = soonest == INT64_MAX ? soonest : soonest + 1;
}

ProofReplayGuard::Verdict ProofReplayGuard::Admit(const ProofId& proof, int64_t now,
                                                  int64_t expiresAt) {
  uint64_t id[2];  // the digest is uniform already, so its bytes are the hash
  std::memcpy(id, proof.data(), sizeof id);
  const std::lock_guard lock(mutex_);
  Slot* slot = Probe(id);
  if (slot->expiresAt != kEmpty) {
    if (slot->expiresAt >= now) return Verdict::kReplayed;
    slot->expiresAt = expiresAt;  // its own earlier entry had expired
    if (expiresAt < nothingExpiresBefore_) nothingExpiresBefore_ = expiresAt + 1;
    return Verdict::kFresh;
  }
  if (used_ >= capacity_ || 2 * (used_ + 1) > slots_.size()) {
    // A full table is not swept again before something in it can have expired: refusals
    // stay cheap.
    if (used_ >= capacity_ && now < nothingExpiresBefore_) return Verdict::kFull;
    Rebuild(now, slots_.size());
    if (used_ >= capacity_) return Verdict::kFull;
    // Grown only when a sweep leaves it more than three-eighths full, so sweeps stay rare.
    if (8 * (used_ + 1) > 3 * slots_.size() && slots_.size() < maxSlots_) {
      Rebuild(now, 2 * slots_.size());
    }
    slot = Probe(id);
  }
  *slot = Slot{{id[0], id[1]}, expiresAt};
  ++used_;
  if (expiresAt < nothingExpiresBefore_) nothingExpiresBefore_ = expiresAt + 1;
  return Verdict::kFresh;
}

std::size_t ProofReplayGuard::Size() const {
  const std::lock_guard lock(mutex_);
  return used_;
}

}  // namespace Orbi::Security
