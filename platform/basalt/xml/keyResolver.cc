#include "platform/basalt/xml/keyResolver.h"

namespace Basalt::Xml::Security {
namespace {

class TrustSetKeyResolver : public KeyResolver {
 public:
  explicit TrustSetKeyResolver(std::shared_ptr<const CertificateList> trusted)
      : trusted_(std::move(trusted)) {}

  std::vector<Crypto::EvpPkeyHandle> GetCandidateKeys() const override {
    std::vector<Crypto::EvpPkeyHandle> keys;
    if (!trusted_) return keys;
    for (const Crypto::CertificatePtr& cert : *trusted_) {
      if (cert) keys.push_back(cert->GetPublicKey());
    }
    return keys;
  }

 private:
  std::shared_ptr<const CertificateList> trusted_;
};

}  // namespace

KeyResolverPtr CreateTrustSetKeyResolver(std::shared_ptr<const CertificateList> trusted) {
  return std::make_shared<TrustSetKeyResolver>(std::move(trusted));
}

}  // namespace Basalt::Xml::Security
