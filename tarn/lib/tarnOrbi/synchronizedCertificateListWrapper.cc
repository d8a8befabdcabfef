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
    owner_->ReadUnlock();
    throw;
  }
}

SynchronizedCertificateListWrapper::SynchronizedCertificateListWrapper(
    SynchronizedCertificateListWrapper&& other) noexcept
    : owner_(std::move(other.owner_)), list_(other.list_) {}

SynchronizedCertificateListWrapper::~SynchronizedCertificateListWrapper() {
  if (owner_) owner_->ReadUnlock();
}

SsoClient::CertificateProvider AdaptCertificateProvider(const SamlCertificateProvider& provider) {
  return [&provider](const SsoClient::SamlToken* token) {
    return std::make_unique<SynchronizedCertificateListWrapper>(provider(*token));
  };
}

}  // namespace TarnOrbi
