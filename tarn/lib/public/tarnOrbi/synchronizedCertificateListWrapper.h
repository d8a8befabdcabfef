// A certificate list that belongs to a shared, reader/writer-locked object, handed out together
// with that object's read lock: while the wrapper exists, the list does not change.
#pragma once

#include <functional>
#include <memory>

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "platform/basalt/rwLock.h"

namespace TarnOrbi {

// Move-only; the read lock is taken on construction and released by the destructor of the last
// wrapper it was moved into, on the thread that took it.
class SynchronizedCertificateListWrapper final : public SsoClient::HeldCertificateList {
 public:
  // Takes `owner`'s read lock, then asks `lookup` for the list, which must stay owned by
  // `owner`. When `lookup` throws, the lock is released and the exception passed on.
  SynchronizedCertificateListWrapper(
      std::shared_ptr<const Basalt::System::RwLockableMixin> owner,
      const std::function<const SsoClient::CertificateList&()>& lookup);
  ~SynchronizedCertificateListWrapper() override;

  SynchronizedCertificateListWrapper(SynchronizedCertificateListWrapper&& other) noexcept;
  SynchronizedCertificateListWrapper& operator=(SynchronizedCertificateListWrapper&&) = delete;
  SynchronizedCertificateListWrapper(const SynchronizedCertificateListWrapper&) = delete;
  SynchronizedCertificateListWrapper& operator=(const SynchronizedCertificateListWrapper&) = delete;

  const SsoClient::CertificateList& GetList() const override { return *list_; }

 private:
  std::shared_ptr<const Basalt::System::RwLockableMixin> owner_;  // null once moved from
  const SsoClient::CertificateList* list_;
};

// The certificates trusted for a parsed token, with their owner's lock.
using SamlCertificateProvider =
    std::function<SynchronizedCertificateListWrapper(const SsoClient::SamlToken&)>;

// The provider in the form CreateVerifiedSamlToken takes; `provider` must outlive the result.
SsoClient::CertificateProvider AdaptCertificateProvider(const SamlCertificateProvider& provider);

}  // namespace TarnOrbi
