// The client profiles in memory: a set in profile name order (for listing) and a hash of the same
// entries (for finding one by name or by subject). A profile's name is a function of its subject
// (clientProfileName.h), so it is not kept: entries are ordered by the names their subjects make,
// compared part by part without building them, and a name looked up is split back into its
// parts. Each entry holds its store object's instance id in 16 bytes. A store of 100,000 profiles
// costs one set node and one hash node per profile this way, where an index per lookup kind and
// a copy of every name would double it.
//
// Loading many profiles: Add each, then Order once (which sorts the names built for the moment,
// far cheaper than keeping the order one insertion at a time). Other calls need the order made.
//
// The subject of an indexed profile must not change (an update replaces only the grants).
// Not synchronised: the owner guards it.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "platform/bindings/clientProfiles.h"
#include "platform/configstore/compactInstanceId.h"

namespace NoxToken {

class ClientProfileIndex {
 public:
  using ProfilePtr = std::shared_ptr<Com::Tessel::Nox::Authentication::ClientProfilesSvc::Info>;
  using SubjectType = Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

  struct Entry {
    ProfilePtr profile;
    NoxConfigStore::CompactInstanceId instanceId;
  };

  // The parts of a profile name before escaping: its type's prefix, issuer alias, domain, name.
  struct NameParts {
    std::string_view parts[4];
  };
  // Views into `subject`, an absent part empty: valid while the subject lives.
  static NameParts PartsOf(const Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject& s) {
    return PartsOf(s.type, ViewOf(s.issuerAlias), ViewOf(s.domain), ViewOf(s.name));
  }
  static NameParts PartsOf(const SubjectType& type, std::string_view issuerAlias,
                           std::string_view domain, std::string_view name) {
    return {{ProfileNamePrefix(type), issuerAlias, domain, name}};
  }

  ClientProfileIndex() = default;
  ClientProfileIndex(const ClientProfileIndex&) = delete;
  ClientProfileIndex& operator=(const ClientProfileIndex&) = delete;

  // Null when absent. Valid until the entry is erased.
  const Entry* Find(std::string_view profileName) const;
  const Entry* Find(const NameParts& subject) const;

  // False, changing nothing, when a profile of the same name is indexed.
  bool Insert(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId);
  void Erase(const Entry& entry);

  // Insert without the order, for loading; Order must follow before any other call but Add.
  bool Add(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId);
  void Order();

  size_t size() const { return byName_.size(); }
  // In profile name order.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const Entry* entry : inOrder_) visit(*entry);
  }

 private:
  static std::string_view ViewOf(const std::optional<std::string>& text) {
    return text ? std::string_view(*text) : std::string_view();
  }

  struct NameOrder {
    bool operator()(const Entry* a, const Entry* b) const;
  };
  struct PartsHash {
    using is_transparent = void;
    size_t operator()(const NameParts& name) const;
    size_t operator()(const Entry& entry) const;
  };
  struct PartsEqual {
    using is_transparent = void;
    bool operator()(const Entry& a, const Entry& b) const;
    bool operator()(const NameParts& a, const Entry& b) const;
    bool operator()(const Entry& a, const NameParts& b) const;
  };

  // Owns the entries, which stay where they are until erased.
  std::unordered_set<Entry, PartsHash, PartsEqual> byName_;
  std::set<const Entry*, NameOrder> inOrder_;
  std::vector<const Entry*> added_;  // Add's entries until Order
};

}  // namespace NoxToken
