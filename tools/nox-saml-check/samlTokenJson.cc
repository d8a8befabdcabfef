#include "tools/nox-saml-check/samlTokenJson.h"

#include <vector>

#include "lib/ssoclient/ssoExceptions.h"
#include "platform/orbi/canonicalJson.h"

namespace NoxTools {
namespace {

std::string Indent(int depth) { return std::string(2 * depth, ' '); }

// Joins already rendered members or elements into an object or array.
std::string Block(const std::vector<std::string>& items, char open, char close, int depth) {
  if (items.empty()) return std::string{open, close};
  std::string out(1, open);
  for (size_t i = 0; i < items.size(); ++i) {
    out += '\n';
    out += Indent(depth + 1);
    out += items[i];
    if (i + 1 < items.size()) out += ',';
  }
  out += '\n';
  out += Indent(depth);
  out += close;
  return out;
}

std::string Member(const std::string& name, const std::string& value) {
  return JsonQuote(name) + ": " + value;
}

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string Principal(const SsoClient::PrincipalId& principal, int depth) {
  return Block(
      {Member("name", JsonQuote(principal.name)), Member("domain", JsonQuote(principal.domain))},
      '{', '}', depth);
}

template <class Container>
std::string Strings(const Container& values, int depth) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (const std::string& value : values) items.push_back(JsonQuote(value));
  return Block(items, '[', ']', depth);
}

std::string Advice(const std::vector<SsoClient::Advice>& advice, int depth) {
  std::vector<std::string> items;
  for (const SsoClient::Advice& entry : advice) {
    std::vector<std::string> attributes;
    for (const SsoClient::AdviceAttribute& attribute : entry.attributes) {
      attributes.push_back(Block({Member("name", JsonQuote(attribute.name)),
                                  Member("values", Strings(attribute.values, depth + 4))},
                                 '{', '}', depth + 3));
    }
    items.push_back(Block({Member("source", JsonQuote(entry.source)),
                           Member("attributes", Block(attributes, '[', ']', depth + 2))},
                          '{', '}', depth + 1));
  }
  return Block(items, '[', ']', depth);
}

// Read only here, so that a value that is no date shows as such instead of failing the check, as
// the daemon accepts it unless told to check it.
void AddConfirmationExpiry(const SsoClient::SamlToken& token, std::vector<std::string>& members) {
  try {
    const auto time = token.GetConfirmationExpirationTime();
    members.push_back(
        Member("confirmationExpirationTime", time ? JsonQuote(time->ToString()) : "null"));
  } catch (const SsoClient::ParseException& e) {
    members.push_back(Member("confirmationExpirationTime", "null"));
    members.push_back(Member("confirmationExpirationTimeError", JsonQuote(e.GetMessage())));
  }
}

}  // namespace

std::string JsonQuote(const std::string& text) { return Orbi::Json::CanonicalString(text); }

std::string SamlTokenToJson(const SsoClient::SamlToken& token) {
  std::vector<std::string> groups;
  for (const auto& group : token.GetGroups()) groups.push_back(Principal(group, 2));
  std::vector<std::string> chain;
  for (const auto& delegate : token.GetDelegationChain()) {
    chain.push_back(
        Block({Member("subject", Principal(delegate.subject, 3)),
               Member("delegationInstant", JsonQuote(delegate.delegationInstant.ToString()))},
              '{', '}', 2));
  }
  const auto& certificate = token.GetConfirmationCertificate();
  std::string confirmationKey = "null";
  if (certificate) confirmationKey = JsonQuote(certificate->GetPublicKeyBase64());
  std::vector<std::string> members{
      Member("id", JsonQuote(token.GetId())),
      Member("issuer", JsonQuote(token.GetIssuer())),
      Member("subject", Principal(token.GetSubject(), 1)),
      Member("startTime", JsonQuote(token.GetStartTime().ToString())),
      Member("expirationTime", JsonQuote(token.GetExpirationTime().ToString())),
      Member("confirmationType",
             JsonQuote(token.GetConfirmationType() == SsoClient::CONFIRMATION_HOLDER_OF_KEY
                           ? "holder-of-key"
                           : "bearer")),
      Member("confirmationPublicKey", confirmationKey)};
  AddConfirmationExpiry(token, members);
  members.insert(
      members.end(),
      {Member("groups", Block(groups, '[', ']', 1)),
       Member("delegationChain", Block(chain, '[', ']', 1)),
       Member("audience", Strings(token.GetAudience(), 1)),
       Member("advice", Advice(token.GetAdvice(), 1)),
       Member("personName", Block({Member("givenName", JsonQuote(token.GetPersonName().givenName)),
                                   Member("surname", JsonQuote(token.GetPersonName().surname))},
                                  '{', '}', 1)),
       Member("renewable", Bool(token.IsRenewable())),
       Member("delegable", Bool(token.IsDelegable())),
       Member("isSolution", Bool(token.IsSolution()))});
  return Block(members, '{', '}', 0);
}

}  // namespace NoxTools
