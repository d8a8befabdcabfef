// Remembers the assertions whose signature verified, so that one presented again (a client that
// proves possession call after call with the same assertion) is neither parsed nor verified again.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "lib/ssoclient/createVerifiedSamlToken.h"

namespace SsoClient {

// A token is given back only for exactly the text it was made from, only while the certificates
// trusted for it are the very ones its signature verified with, and only within the validity
// window the full check allows; in every other case the caller runs the full check, which gives
// the refusal and its message. Failures are never remembered.
//
// Bounded: at most `capacity` tokens; a new one beyond them replaces the one remembered longest.
// Thread-safe: one mutex guards the entries, held for a hash lookup or an insertion.
class VerifiedSamlTokenCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  explicit VerifiedSamlTokenCache(std::size_t capacity = kDefaultCapacity);

  struct Entry {
    std::shared_ptr<const SamlToken> token;
    CertificateList trusted;  // the list the signature was verified against
  };

  // The entry for `xml` if its token is valid at `now` with `toleranceSeconds` at both ends, else
  // null. The caller still compares `trusted` with the list trusted now.
  std::shared_ptr<const Entry> Find(const std::string& xml, int64_t toleranceSeconds,
                                    Basalt::System::DateTime now) const;

  // Remembers `token` (verified against `trusted`), replacing an entry for the same text.
  void Remember(std::shared_ptr<const SamlToken> token, CertificateList trusted);

  std::size_t Size() const;

 private:
  using Order = std::list<std::shared_ptr<const Entry>>;

  const std::size_t capacity_;
  mutable std::mutex mutex_;  // guards the two members below
  Order order_;               // oldest first
  // Keyed by a view of the token's own text, which the entry keeps alive.
  std::unordered_map<std::string_view, Order::iterator> byText_;
};

}  // namespace SsoClient
