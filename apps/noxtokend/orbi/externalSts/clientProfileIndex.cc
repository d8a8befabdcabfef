#include "apps/noxtokend/orbi/externalSts/clientProfileIndex.h"

#include <algorithm>
#include <utility>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;

namespace {

constexpr int kEnd = -1;
constexpr size_t kParts = 4;

std::string_view ViewOf(const std::optional<std::string>& text) {
  return text ? std::string_view(*text) : std::string_view();
}

// The characters of a profile name made from its parts, from part `part` at `offset` on: each
// part escaped, "#" between parts. As unsigned values, the order std::string compares by.
class EscapedNameReader {
 public:
  EscapedNameReader(const ClientProfileIndex::NameParts& name, size_t part, size_t offset)
      : name_(name), part_(part), offset_(offset) {}

  int Next() {
    if (escaped_ != kEnd) return std::exchange(escaped_, kEnd);
    const std::string_view text = name_.parts[part_];
    if (offset_ == text.size()) {
      if (part_ + 1 == kParts) return kEnd;
      ++part_;
      offset_ = 0;
      return '#';
    }
    const auto c = static_cast<unsigned char>(text[offset_++]);
    if (c != '\\' && c != '#') return c;
    escaped_ = c;
    return '\\';
  }

 private:
  const ClientProfileIndex::NameParts& name_;
  size_t part_;
  size_t offset_;
  int escaped_ = kEnd;  // the character after an escaping backslash, still to come
};

class TextReader {
 public:
  explicit TextReader(std::string_view text) : text_(text) {}
  int Next() {
    return offset_ == text_.size() ? kEnd : static_cast<unsigned char>(text_[offset_++]);
  }

 private:
  std::string_view text_;
  size_t offset_ = 0;
};

template <class A, class B>
int CompareReaders(A a, B b) {
  for (;;) {
    const int x = a.Next();
    const int y = b.Next();
    if (x != y) return x < y ? -1 : 1;
    if (x == kEnd) return 0;
  }
}

// Equal leading parts, and equal leading text within a part, escape alike: only what follows
// the first difference is read character by character.
int Compare(const ClientProfileIndex::NameParts& a, const ClientProfileIndex::NameParts& b) {
  for (size_t part = 0; part < kParts; ++part) {
    const std::string_view x = a.parts[part];
    const std::string_view y = b.parts[part];
    if (x == y) continue;
    const size_t common = std::min(x.size(), y.size());
    const size_t offset = static_cast<size_t>(
        std::mismatch(x.begin(), x.begin() + common, y.begin()).first - x.begin());
    return CompareReaders(EscapedNameReader(a, part, offset), EscapedNameReader(b, part, offset));
  }
  return 0;
}

ClientProfileIndex::NameParts PartsOf(const ClientProfileIndex::Entry& entry) {
  return ClientProfileIndex::PartsOf(*entry.profile->subject);
}

int Compare(const ClientProfileIndex::Entry& entry, std::string_view name) {
  const ClientProfileIndex::NameParts parts = PartsOf(entry);
  return CompareReaders(EscapedNameReader(parts, 0, 0), TextReader(name));
}

// The parts of a name that holds no escape: its text between the "#"s. False when it has not
// exactly four; no profile then has that name.
bool SplitUnescaped(std::string_view name, ClientProfileIndex::NameParts& parts) {
  for (size_t part = 0; part + 1 < kParts; ++part) {
    const size_t separator = name.find('#');
    if (separator == std::string_view::npos) return false;
    parts.parts[part] = name.substr(0, separator);
    name.remove_prefix(separator + 1);
  }
  parts.parts[kParts - 1] = name;
  return name.find('#') == std::string_view::npos;
}

}  // namespace

ClientProfileIndex::NameParts ClientProfileIndex::PartsOf(const Subject& subject) {
  return {{ProfileNamePrefix(subject.type), ViewOf(subject.issuerAlias), ViewOf(subject.domain),
           ViewOf(subject.name)}};
}

ClientProfileIndex::NameParts ClientProfileIndex::PartsOf(const SubjectType& type,
                                                          std::string_view issuerAlias,
                                                          std::string_view domain,
                                                          std::string_view name) {
  return {{ProfileNamePrefix(type), issuerAlias, domain, name}};
}

bool ClientProfileIndex::NameOrder::operator()(const Entry& a, const Entry& b) const {
  return Compare(NoxToken::PartsOf(a), NoxToken::PartsOf(b)) < 0;
}
bool ClientProfileIndex::NameOrder::operator()(const Entry& a, const NameParts& b) const {
  return Compare(NoxToken::PartsOf(a), b) < 0;
}
bool ClientProfileIndex::NameOrder::operator()(const NameParts& a, const Entry& b) const {
  return Compare(a, NoxToken::PartsOf(b)) < 0;
}
bool ClientProfileIndex::NameOrder::operator()(const Entry& a, std::string_view b) const {
  return Compare(a, b) < 0;
}
bool ClientProfileIndex::NameOrder::operator()(std::string_view a, const Entry& b) const {
  return Compare(b, a) > 0;
}

const ClientProfileIndex::Entry* ClientProfileIndex::Find(std::string_view profileName) const {
  if (profileName.find('\\') == std::string_view::npos) {
    NameParts parts;
    return SplitUnescaped(profileName, parts) ? Find(parts) : nullptr;
  }
  auto it = entries_.find(profileName);
  return it == entries_.end() ? nullptr : &*it;
}

const ClientProfileIndex::Entry* ClientProfileIndex::Find(const NameParts& subject) const {
  auto it = entries_.find(subject);
  return it == entries_.end() ? nullptr : &*it;
}

bool ClientProfileIndex::Insert(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId) {
  return entries_.insert(Entry{std::move(profile), std::move(instanceId)}).second;
}

void ClientProfileIndex::Erase(const Entry& entry) {
  entries_.erase(entries_.find(PartsOf(*entry.profile->subject)));
}

}  // namespace NoxToken
