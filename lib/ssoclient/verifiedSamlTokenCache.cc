#include "lib/ssoclient/verifiedSamlTokenCache.h"

namespace SsoClient {

VerifiedSamlTokenCache::VerifiedSamlTokenCache(std::size_t capacity) : capacity_(capacity) {}

std::shared_ptr<const VerifiedSamlTokenCache::Entry> VerifiedSamlTokenCache::Find(
    const std::string& xml, int64_t toleranceSeconds, Basalt::System::DateTime now) const {
  std::shared_ptr<const Entry> entry;
  {
    const std::lock_guard lock(mutex_);
    const auto found = byText_.find(xml);
    if (found == byText_.end()) return nullptr;
    entry = *found->second;
  }
  const int64_t tolerance = toleranceSeconds * 1000000;
  const int64_t at = now.GetUtcTime();
  const SamlToken& token = *entry->token;
  if (token.GetStartTime().GetUtcTime() - tolerance > at ||
      token.GetExpirationTime().GetUtcTime() + tolerance <= at) {
    return nullptr;
  }
  return entry;
}

void VerifiedSamlTokenCache::Remember(std::shared_ptr<const SamlToken> token,
                                      CertificateList trusted) {
  if (capacity_ == 0) return;
  auto entry = std::make_shared<const Entry>(Entry{std::move(token), std::move(trusted)});
  const std::lock_guard lock(mutex_);
  if (const auto found = byText_.find(entry->token->GetXml()); found != byText_.end()) {
    order_.erase(found->second);
    byText_.erase(found);
  } else if (byText_.size() >= capacity_) {
    byText_.erase(order_.front()->token->GetXml());
    order_.pop_front();
  }
  const std::string_view text = entry->token->GetXml();
  byText_.emplace(text, order_.insert(order_.end(), std::move(entry)));
}

std::size_t VerifiedSamlTokenCache::Size() const {
  const std::lock_guard lock(mutex_);
  return byText_.size();
}

}  // namespace SsoClient
