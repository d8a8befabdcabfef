#include "apps/noxtokend/orbi/externalSts/clientProfileIndex.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

namespace NoxToken {

namespace {

using NameParts = ClientProfileIndex::NameParts;

constexpr int kEnd = -1;
constexpr size_t kParts = 4;

bool IsEscaped(unsigned char c) { return c == '\\' || c == '#'; }

// The first character the name writes for `part` from `offset` on: the escaping backslash, the
// character itself, the "#" that follows the part, or the end. As unsigned values, the order
// std::string compares by.
int FirstWritten(const NameParts& name, size_t part, size_t offset) {
  const std::string_view text = name.parts[part];
  if (offset == text.size()) return part + 1 == kParts ? kEnd : '#';
  const auto c = static_cast<unsigned char>(text[offset]);
  return IsEscaped(c) ? '\\' : c;
}

// Equal leading parts, and equal leading text within a part, are written alike: the names first
// differ where the parts do. There the first characters written decide, unless both are escaping
// backslashes, when the escaped characters (which differ) do.
int Compare(const NameParts& a, const NameParts& b) {
  for (size_t part = 0; part < kParts; ++part) {
    const std::string_view x = a.parts[part];
    const std::string_view y = b.parts[part];
    const size_t common = std::min(x.size(), y.size());
    size_t offset = 0;
    for (uint64_t p, q; offset + sizeof p <= common; offset += sizeof p) {
      std::memcpy(&p, x.data() + offset, sizeof p);
      std::memcpy(&q, y.data() + offset, sizeof q);
      if (p != q) break;
    }
    while (offset < common && x[offset] == y[offset]) ++offset;
    if (offset == x.size() && offset == y.size()) continue;
    const int first = FirstWritten(a, part, offset);
    const int second = FirstWritten(b, part, offset);
    if (first != second) return first < second ? -1 : 1;
    return static_cast<unsigned char>(x[offset]) < static_cast<unsigned char>(y[offset]) ? -1 : 1;
  }
  return 0;
}

NameParts PartsOf(const ClientProfileIndex::Entry& entry) {
  return ClientProfileIndex::PartsOf(*entry.profile->subject);
}

// The parts a profile name was made from: views into the name, or into `text` where the name
// holds escapes, which are undone there. False for a name no subject makes: other than four
// parts, or a backslash that escapes neither "#" nor "\".
bool SplitName(std::string_view name, NameParts& parts, std::string& text) {
  const bool escaped = name.find('\\') != std::string_view::npos;
  if (escaped) {
    text.clear();
    text.reserve(name.size());  // the parts view it: it must not move
  }
  const auto upTo = [&](size_t start, size_t end) {
    return escaped ? std::string_view(text).substr(start, end - start)
                   : name.substr(start, end - start);
  };
  size_t part = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '#') {
      if (part + 1 == kParts) return false;
      const size_t end = escaped ? text.size() : i;
      parts.parts[part++] = upTo(start, end);
      start = escaped ? end : i + 1;
      continue;
    }
    if (c == '\\') {
      if (i + 1 == name.size() || !IsEscaped(static_cast<unsigned char>(name[i + 1]))) {
        return false;
      }
      c = name[++i];
    }
    if (escaped) text += c;
  }
  if (part + 1 != kParts) return false;
  parts.parts[part] = upTo(start, escaped ? text.size() : name.size());
  return true;
}

}  // namespace

bool ClientProfileIndex::NameOrder::operator()(const Entry* a, const Entry* b) const {
  return Compare(NoxToken::PartsOf(*a), NoxToken::PartsOf(*b)) < 0;
}

size_t ClientProfileIndex::PartsHash::operator()(const NameParts& name) const {
  size_t hash = 0;
  for (std::string_view part : name.parts) {
    hash = hash * 31 + std::hash<std::string_view>()(part);
  }
  return hash;
}

size_t ClientProfileIndex::PartsHash::operator()(const Entry& entry) const {
  return (*this)(NoxToken::PartsOf(entry));
}

namespace {
bool SameParts(const NameParts& a, const NameParts& b) {
  return std::equal(std::begin(a.parts), std::end(a.parts), std::begin(b.parts));
}
}  // namespace

bool ClientProfileIndex::PartsEqual::operator()(const Entry& a, const Entry& b) const {
  return SameParts(NoxToken::PartsOf(a), NoxToken::PartsOf(b));
}
bool ClientProfileIndex::PartsEqual::operator()(const NameParts& a, const Entry& b) const {
  return SameParts(a, NoxToken::PartsOf(b));
}
bool ClientProfileIndex::PartsEqual::operator()(const Entry& a, const NameParts& b) const {
  return SameParts(NoxToken::PartsOf(a), b);
}

const ClientProfileIndex::Entry* ClientProfileIndex::Find(std::string_view profileName) const {
  NameParts parts;
  std::string unescaped;
  return SplitName(profileName, parts, unescaped) ? Find(parts) : nullptr;
}

const ClientProfileIndex::Entry* ClientProfileIndex::Find(const NameParts& subject) const {
  auto it = byName_.find(subject);
  return it == byName_.end() ? nullptr : &*it;
}

bool ClientProfileIndex::Add(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId) {
  auto [it, added] = byName_.insert(Entry{std::move(profile), std::move(instanceId)});
  if (added) added_.push_back(&*it);
  return added;
}

void ClientProfileIndex::Order() {
  // The names built once into one buffer and compared as text; then each entry goes in at the
  // end of the set.
  std::string names;
  std::vector<std::pair<size_t, const Entry*>> ends;
  ends.reserve(added_.size());
  for (const Entry* entry : added_) {
    AppendProfileName(*entry->profile->subject, names);
    ends.emplace_back(names.size(), entry);
  }
  std::vector<std::pair<std::string_view, const Entry*>> named;
  named.reserve(ends.size());
  size_t start = 0;
  for (const auto& [end, entry] : ends) {
    named.emplace_back(std::string_view(names).substr(start, end - start), entry);
    start = end;
  }
  std::sort(named.begin(), named.end());
  for (const auto& [name, entry] : named) inOrder_.insert(inOrder_.end(), entry);
  added_ = {};
}

bool ClientProfileIndex::Insert(ProfilePtr profile, NoxConfigStore::CompactInstanceId instanceId) {
  auto [it, added] = byName_.insert(Entry{std::move(profile), std::move(instanceId)});
  if (added) inOrder_.insert(&*it);
  return added;
}

void ClientProfileIndex::Erase(const Entry& entry) {
  inOrder_.erase(inOrder_.find(&entry));  // one descent, where erasing by key makes two
  byName_.erase(byName_.find(NoxToken::PartsOf(entry)));
}

}  // namespace NoxToken
