// One record of the audit trail: a decision the daemon made (a token issued, a credential or an
// access refused, a client profile or trusted issuer changed) and who it was made for. Records
// hold names, hashes and fingerprints only: never a token, password, assertion, proof or
// signature.
//
// Plain values and stateless functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace NoxToken::Audit {

enum class Event {
  kTokenIssued,
  kCredentialRefused,
  kAccessDenied,
  kProfileCreated,
  kProfileChanged,
  kProfileDeleted,
  kIssuerCreated,
  kIssuerChanged,
  kIssuerDeleted,
};

// "token.issued", ...
const char* EventName(Event event);
// The fixed journal MESSAGE_ID of the event kind: 32 lower-case hex digits.
const char* EventMessageId(Event event);

// The caller (or, for a refused credential, the subject it claimed to be).
struct Subject {
  std::optional<std::string> user;
  std::optional<std::string> issuerAlias;
  std::optional<std::string> domain;
  std::vector<std::string> groups;  // "name@domain"
  // For a refused password: whether the host has the user named; unset when not looked up.
  std::optional<bool> hostUser;
};

// What a management target looked like: a profile's grants ("RESOURCE:ENTITLEMENT"), or an
// issuer's name and the SHA-256 fingerprints of each signing chain's certificates.
struct TargetState {
  std::vector<std::string> grants;
  std::optional<std::string> issuer;
  std::vector<std::vector<std::string>> chains;
};

// Members left empty (or unset) are absent from the record.
struct Record {
  Event event = Event::kTokenIssued;
  int64_t timeMs = 0;  // Unix time, milliseconds
  std::string opId;
  std::optional<uint32_t> callerUid;
  std::string scheme;  // "user_pass", "own_token", "external_jwt", "saml_hok", "none"
  std::optional<Subject> subject;
  std::string reason;  // message id of a refusal; its presence makes the outcome "refused"
  // The caller's refusal records not written before this one (Basalt::CallerBudget); absent when 0.
  uint64_t heldBack = 0;
  // token.issued
  std::optional<std::vector<std::string>> entitlements;
  std::optional<int64_t> expires;
  std::string tokenSha256;
  // access.denied and management events
  std::string service;
  std::string operation;
  std::string target;
  std::optional<TargetState> before;
  std::optional<TargetState> after;
};

// The record as one JSON object followed by "\n", members in the order of Record.
std::string FormatLine(const Record& record);

// The record as journal fields "NAME=value": MESSAGE_ID, MESSAGE, then each member as NOX_<NAME>
// (structured members as their JSON text).
std::vector<std::string> JournalFields(const Record& record);

// The first 16 hex digits of the SHA-256 of `token`: correlates a record with a token without
// holding it.
std::string TokenDigest(std::string_view token);

}  // namespace NoxToken::Audit
