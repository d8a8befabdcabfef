#include "tarnOrbi/synchronizedCertificateListWrapper.h"

namespace TarnOrbi {

SynchronizedCertificateListWrapper::SynchronizedCertificateListWrapper(
    std::shared_ptr<const Basalt::System::RwLockableMixin> owner,
    const std::function<const SsoClient::CertificateList&()>& lookup)
    : owner_(std::move(owner)) {
  owner_->ReadLock();
  try {
    list_ = &lookup();
  } catch (...) {
    owner_->Unlock();
    throw;
  }
}

SynchronizedCertificateListWrapper::SynchronizedCertificateListWrapper(
    SynchronizedCertificateListWrapper&& other) noexcept
    : owner_(std::move(other.owner_)), list_(other.list_) {}

SynchronizedCertificateListWrapper::~SynchronizedCertificateListWrapper() {
  if (owner_) owner_->Unlock();
}

SsoClient::CertificateProvider AdaptCertificateProvider(const SamlCertificateProvider& provider) {
  return [&provider](const SsoClient::SamlToken* token) {
    return std::make_unique<SynchronizedCertificateListWrapper>(provider(*token));
  };
}

}  // namespace TarnOrbi
