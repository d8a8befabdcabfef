#include "platform/orbi/proofReplayGuard.h"

#include <openssl/evp.h>

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

std::size_t ProofReplayGuard::Hash::operator()(const ProofId& id) const {
  std::size_t hash;  // the digest is uniform already
  std::memcpy(&hash, id.data(), sizeof hash);
  return hash;
}

void ProofReplayGuard::DropExpired(int64_t now) {
  while (!expiries_.empty() && expiries_.top().first < now) {
    seen_.erase(expiries_.top().second);
    expiries_.pop();
  }
}

ProofReplayGuard::Verdict ProofReplayGuard::Admit(const ProofId& proof, int64_t now,
                                                  int64_t expiresAt) {
  const std::lock_guard lock(mutex_);
  DropExpired(now);
  if (seen_.count(proof)) return Verdict::kReplayed;
  if (seen_.size() >= capacity_) return Verdict::kFull;
  seen_.insert(proof);
  expiries_.emplace(expiresAt, proof);
  return Verdict::kFresh;
}

std::size_t ProofReplayGuard::Size() const {
  const std::lock_guard lock(mutex_);
  return seen_.size();
}

}  // namespace Orbi::Security
