#include "platform/authn/authnData.h"

namespace Nox::Authn::AuthnData {

using Orbi::Data::ListValue;
using Orbi::Data::StringValue;
using Orbi::Data::StructValue;

namespace {
// Every field a builder can set: username, issuerAlias, domain, StsGroups, accessToken and the
// entitlement list.
constexpr size_t kFieldCount = 6;
}  // namespace

Builder::Builder(const std::string& structName) : value_(StructValue::GetInstance(structName)) {
  value_->ReserveFields(kFieldCount);
}

Builder::Builder(std::shared_ptr<StructValue> existing) : value_(std::move(existing)) {}

Builder& Builder::Username(const std::string& value) {
  value_->SetField(kUsername, StringValue::Create(value));
  return *this;
}

Builder& Builder::IssuerAlias(const std::string& value) {
  value_->SetField(kIssuerAlias, StringValue::Create(value));
  return *this;
}

Builder& Builder::Domain(const std::string& value) {
  value_->SetField(kDomain, StringValue::Create(value));
  return *this;
}

Builder& Builder::Groups(const std::vector<StsGroup>& groups) {
  auto list = ListValue::Create();
  for (const auto& group : groups) {
    auto item = StructValue::GetInstance(kStsGroupStruct);
    item->ReserveFields(2);
    item->SetField(kGroupDomain, StringValue::Create(group.domain));
    item->SetField(kGroupName, StringValue::Create(group.name));
    list->Add(std::move(item));
  }
  value_->SetField(kStsGroups, std::move(list));
  return *this;
}

Builder& Builder::AccessToken(const std::string& value) {
  value_->SetField(kAccessToken, StringValue::Create(value));
  return *this;
}

Builder& Builder::Entitlements(const std::vector<std::string>& names) {
  auto list = ListValue::Create();
  for (const auto& name : names) list->Add(StringValue::Create(name));
  value_->SetField(kEntitlementGrants, std::move(list));
  return *this;
}

Reader::Reader(Orbi::Data::ValuePtr authnResult)
    : value_(std::move(authnResult)), struct_(Orbi::Data::As<StructValue>(value_)) {}

const std::string* Reader::String(const char* field) const {
  return struct_ ? struct_->GetString(field) : nullptr;
}

const std::string* Reader::Username() const { return String(kUsername); }
const std::string* Reader::IssuerAlias() const { return String(kIssuerAlias); }
const std::string* Reader::Domain() const { return String(kDomain); }
const std::string* Reader::AccessToken() const { return String(kAccessToken); }

std::shared_ptr<const ListValue> Reader::GroupList() const {
  return struct_ ? Orbi::Data::As<ListValue>(struct_->GetField(kStsGroups)) : nullptr;
}

bool Reader::HasGroups() const { return GroupList() != nullptr; }

std::vector<StsGroup> Reader::Groups() const {
  std::vector<StsGroup> groups;
  if (auto list = GroupList()) groups.reserve(list->GetItems().size());
  ForEachGroup([&groups](const std::string& name, const std::string& domain) {
    groups.push_back({name, domain});
  });
  return groups;
}

void Reader::ForEachGroup(
    const std::function<void(const std::string&, const std::string&)>& visit) const {
  auto list = GroupList();
  if (!list) return;
  static const std::string kMissing;
  for (const auto& item : list->GetItems()) {
    auto group = Orbi::Data::As<StructValue>(item);
    if (!group) continue;
    const std::string* name = group->GetString(kGroupName);
    const std::string* domain = group->GetString(kGroupDomain);
    visit(name ? *name : kMissing, domain ? *domain : kMissing);
  }
}

Basalt::Result<std::vector<std::string>, EntitlementsProblem> Reader::Entitlements() const {
  if (!struct_ || !struct_->HasField(kEntitlementGrants))
    return Basalt::Unexpected{EntitlementsProblem::kUnavailable};
  auto list = Orbi::Data::As<ListValue>(struct_->GetField(kEntitlementGrants));
  if (!list) return Basalt::Unexpected{EntitlementsProblem::kNotAList};
  std::vector<std::string> names;
  for (const auto& item : list->GetItems()) {
    if (auto text = Orbi::Data::As<StringValue>(item)) names.push_back(text->GetValue());
  }
  return names;
}

}  // namespace Nox::Authn::AuthnData
