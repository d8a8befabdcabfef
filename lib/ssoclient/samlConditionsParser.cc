#include "lib/ssoclient/elementRules.h"
#include "lib/ssoclient/samlConstants.h"
#include "lib/ssoclient/samlParser.h"
#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient {
namespace {

using Basalt::Xml::Node;
using Basalt::Xml::QName;
using namespace Rules;

const QName kDelegationRestrictionType{std::string(Saml::kDelegationNs),
                                       "DelegationRestrictionType"};
const QName kRenewRestrictionType{std::string(Saml::kExtensionNs), "RenewRestrictionType"};

std::vector<ParsedDelegate> ReadDelegationRestriction(const ElementCursor& condition,
                                                      const NodeFilter& filter) {
  CheckQualifiedAttributes(condition.Current(), {kXsiType}, {});
  std::vector<ParsedDelegate> chain;
  ElementCursor delegates = condition.Enter();
  do {
    const Node delegate = ExpectElement(delegates, "Delegate", Saml::kDelegationNs);
    CheckAttributes(delegate, {"DelegationInstant"}, {});
    ElementCursor children = delegates.Enter();
    const Node nameId = ExpectElement(children, "NameID", Saml::kAssertionNs);
    CheckAttributes(nameId, {"Format"}, {});
    chain.push_back(ParsedDelegate{
        DateAttribute(delegate, "DelegationInstant"),
        NameIdValue{nameId.GetAttribute("Format").value_or(""), TextOnly(nameId, filter)}});
    children.Advance();
    CheckEndOfSiblings(children, "Unexpected elements after NameID");
    delegates.Advance();
  } while (delegates.HasNode());
  return chain;
}

std::set<std::string> ReadAudienceRestriction(const ElementCursor& restriction,
                                              const NodeFilter& filter) {
  std::set<std::string> audience;
  ElementCursor children = restriction.Enter();
  do {
    audience.insert(TextOnly(ExpectElement(children, "Audience", Saml::kAssertionNs), filter));
    children.Advance();
  } while (children.HasNode());
  return audience;
}

}  // namespace

void ParseConditionChildren(ElementCursor children, const NodeFilter& filter,
                            ParsedConditions& conditions) {
  bool seenAudience = false;
  for (; children.HasNode(); children.Advance()) {
    const Node element = children.Current();
    if (!conditions.delegationChain && element &&
        IsTypedCondition(element, kDelegationRestrictionType)) {
      conditions.delegationChain = ReadDelegationRestriction(children, filter);
    } else if (!seenAudience && OptionalElement(children, "AudienceRestriction")) {
      conditions.audience = ReadAudienceRestriction(children, filter);
      seenAudience = true;
    } else if (!conditions.proxyCount && OptionalElement(children, "ProxyRestriction")) {
      CheckAttributes(element, {"Count"}, {});
      CheckEmpty(element, filter);
      conditions.proxyCount = NonNegativeIntegerAttribute(element, "Count");
    } else if (!conditions.hasRenewRestriction && element &&
               IsTypedCondition(element, kRenewRestrictionType)) {
      CheckQualifiedAttributes(
          element, {kXsiType},
          {QName{"", "Count"}, QName{"", "Postdatable"}, QName{"", "RenewExpired"}});
      CheckEmpty(element, filter);
      conditions.hasRenewRestriction = true;
      conditions.renewCount = NonNegativeIntegerAttribute(element, "Count");
    } else {
      throw ParseException(std::string("Unknown or duplicate restriction node under Conditions") +
                           (element ? ": " + element.GetLocalName() : ""));
    }
  }
}

}  // namespace SsoClient
