// The client profiles in memory: one ordered set, in profile name order, found by name or by
// subject. A profile's name is a function of its subject (clientProfileName.h), so it is not
// kept: entries are compared by the names their subjects make, read piece by piece without being
// built. Each entry holds its store object's instance id in 16 bytes. A store of 100,000
// profiles keeps one set node per profile this way, where an index per lookup kind and a copy of
// every name would double it.
//
// The subject of an indexed profile must not change (an update replaces only the grants).
// Not synchronised: the owner guards it.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>

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
  static NameParts PartsOf(const Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject& s);
  static NameParts PartsOf(const SubjectType& type, std::string_view issuerAlias,
                           std::string_view domain, std::string_view name);

  // Null when absent. Valid until the entry is erased.
  const Entry* Find(std::string_view profileName) const;
  const Entry* Find(const NameParts& subject) const;

  // False, changing nothing, when a profile of the same name is indexed.
  bool Insert(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId);
  void Erase(const Entry& entry);

  size_t size() const { return entries_.size(); }
  // In profile name order.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const Entry& entry : entries_) visit(entry);
  }

 private:
  struct NameOrder {
    using is_transparent = void;
    bool operator()(const Entry& a, const Entry& b) const;
    bool operator()(const Entry& a, const NameParts& b) const;
    bool operator()(const NameParts& a, const Entry& b) const;
    bool operator()(const Entry& a, std::string_view b) const;
    bool operator()(std::string_view a, const Entry& b) const;
  };

  std::set<Entry, NameOrder> entries_;
};

}  // namespace NoxToken
