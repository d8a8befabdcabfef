// Where the keys for verifying a signature come from. Never the signed document itself.
#pragma once

#include <memory>
#include <vector>

#include "platform/basalt/crypto/certificate.h"

namespace Basalt::Xml::Security {

class KeyResolver {
 public:
  virtual ~KeyResolver() = default;
  // The public keys a signature may verify with, each a new reference owned by the caller.
  virtual std::vector<Crypto::EvpPkeyHandle> GetCandidateKeys() const = 0;
};

using KeyResolverPtr = std::shared_ptr<const KeyResolver>;
using CertificateList = std::vector<Crypto::CertificatePtr>;

// Offers exactly the keys of the given certificates; the list must not change afterwards.
KeyResolverPtr CreateTrustSetKeyResolver(std::shared_ptr<const CertificateList> trusted);

}  // namespace Basalt::Xml::Security
