#include "apps/noxtokend/audit/auditCall.h"

#include <chrono>
#include <cstring>

#include "platform/authn/authnData.h"
#include "platform/authn/unverifiedClaims.h"
#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/jsonQuickReader.h"

namespace NoxToken::Audit {

namespace AuthnData = ::Nox::Authn::AuthnData;

namespace {

const char* SchemeOf(const Orbi::Data::ValuePtr& authnResult) {
  auto data = Orbi::Data::As<Orbi::Data::StructValue>(authnResult);
  if (!data) return "none";
  const std::string& name = data->GetName();
  if (name == AuthnData::kUserPassResult) return "user_pass";
  if (name == AuthnData::kOwnTokenResult) return "own_token";
  if (name == AuthnData::kExternalJwtResult) return "external_jwt";
  if (name == AuthnData::kSamlTokenResult) return "saml_hok";
  return "none";
}

std::optional<std::string> Copy(const std::string* text) {
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::string> StringMember(const json_t* object, const char* name) {
  const json_t* member = json_object_get(object, name);
  if (!json_is_string(member)) return std::nullopt;
  return std::string(json_string_value(member), json_string_length(member));
}

// The member names a record takes, each once: a second of any is left to Jansson, which keeps
// the last.
enum ClaimBit : unsigned { kUser = 1, kIssuer = 2, kDomain = 4, kEntitlements = 8, kExpires = 16 };

bool ReadString(Orbi::Json::PlainCursor& cursor, std::optional<std::string>& out) {
  std::string decoded;
  std::string_view text;
  if (!cursor.DecodedString(decoded, text)) return false;
  out.emplace(text);
  return true;
}

bool ReadStrings(Orbi::Json::PlainCursor& cursor, std::optional<std::vector<std::string>>& out) {
  out.emplace();
  if (!cursor.Take('[')) return false;
  if (cursor.Take(']')) return true;
  do {
    std::string decoded;
    std::string_view text;
    if (!cursor.DecodedString(decoded, text)) return false;
    out->emplace_back(text);
  } while (cursor.Take(','));
  return cursor.Take(']');
}

// Reads the record's claims straight from plain text, as every token the daemon issues has them,
// without building a tree. Gives up (nullopt) on what it does not read the way Jansson would: a
// claim of another type, an entitlement that is not a string, a claim named twice, or text that is
// not plain; ReadUncheckedClaims then reads the payload through Jansson.
std::optional<TokenClaims> ReadPlainClaims(std::string_view payload) {
  // The bounds the quick reader has for claims elsewhere; deeper or longer text goes to Jansson.
  Orbi::Json::PlainCursor cursor(payload, {16, Nox::Authn::kMaxUnverifiedPayloadLength});
  TokenClaims claims;
  if (!cursor.OpenObject(1)) return std::nullopt;
  if (cursor.Take('}')) return cursor.AtEnd() ? std::optional(claims) : std::nullopt;
  unsigned seen = 0;
  const auto first = [&seen](ClaimBit bit) {
    if (seen & bit) return false;
    seen |= bit;
    return true;
  };
  do {
    std::string decoded;
    std::string_view name;
    if (!cursor.DecodedString(decoded, name) || !cursor.Take(':')) return std::nullopt;
    bool read = false;
    if (name == "username") {
      read = first(kUser) && ReadString(cursor, claims.user);
    } else if (name == "iss") {
      read = first(kIssuer) && ReadString(cursor, claims.issuer);
    } else if (name == "domain") {
      read = first(kDomain) && ReadString(cursor, claims.domain);
    } else if (name == "entitlement") {
      read = first(kEntitlements) && ReadStrings(cursor, claims.entitlements);
    } else {
      const Basalt::Json::JsonPtr value = cursor.Value(1);
      read = value != nullptr;
      if (read && name == "exp") {
        read = first(kExpires) && json_is_integer(value.get());
        if (read) claims.expires = json_integer_value(value.get());
      }
    }
    if (!read) return std::nullopt;
  } while (cursor.Take(','));
  if (!cursor.Take('}') || !cursor.AtEnd()) return std::nullopt;
  return claims;
}

}  // namespace

int64_t RecordTimeNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Record NewRecord(Event event, const Orbi::Core::ExecutionContext& context) {
  Record record;
  record.event = event;
  record.timeMs = RecordTimeNow();
  record.opId = Basalt::Service::GetLogContext("opID");
  record.callerUid = context.CallerUid();
  record.scheme = SchemeOf(context.authnResult);
  AuthnData::Reader caller(context.authnResult);
  if (caller.IsAuthenticated()) {
    Subject subject;
    subject.user = Copy(caller.Username());
    subject.issuerAlias = Copy(caller.IssuerAlias());
    subject.domain = Copy(caller.Domain());
    caller.ForEachGroup([&subject](const std::string& name, const std::string& domain) {
      std::string& text = subject.groups.emplace_back();
      text.reserve(name.size() + 1 + domain.size());
      text.append(name).append(1, '@').append(domain);
    });
    record.subject = std::move(subject);
  }
  return record;
}

std::string RefusalReason(const Orbi::Data::ErrorValue& error) {
  if (auto messages = Orbi::Data::As<Orbi::Data::ListValue>(error.GetField("messages"))) {
    for (const auto& item : messages->GetItems()) {
      auto message = Orbi::Data::As<Orbi::Data::StructValue>(item);
      if (const std::string* id = message ? message->GetString("id") : nullptr) return *id;
    }
  }
  return error.GetName();
}

TokenClaims ReadUncheckedClaims(std::string_view token) {
  const auto payload = Nox::Authn::UnverifiedPayload(token);
  if (!payload) return {};
  if (auto plain = ReadPlainClaims(*payload)) return std::move(*plain);
  TokenClaims claims;
  const Basalt::Json::JsonPtr json = Nox::Authn::ReadPayloadClaims(*payload);
  if (!json) return claims;
  claims.user = StringMember(json.get(), "username");
  claims.issuer = StringMember(json.get(), "iss");
  claims.domain = StringMember(json.get(), "domain");
  if (const json_t* list = json_object_get(json.get(), "entitlement"); json_is_array(list)) {
    claims.entitlements.emplace();
    for (size_t i = 0; i < json_array_size(list); ++i) {
      const json_t* item = json_array_get(list, i);
      if (json_is_string(item)) claims.entitlements->emplace_back(json_string_value(item));
    }
  }
  if (const json_t* exp = json_object_get(json.get(), "exp"); json_is_integer(exp)) {
    claims.expires = json_integer_value(exp);
  }
  return claims;
}

}  // namespace NoxToken::Audit
