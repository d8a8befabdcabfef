#include "apps/noxtokend/audit/auditRecord.h"

#include <array>

#include "platform/basalt/clientText.h"
#include "platform/basalt/crypto/digest.h"
#include "platform/basalt/dateTime.h"
#include "platform/orbi/jsonWriter.h"

namespace NoxToken::Audit {

namespace {

struct EventInfo {
  const char* name;
  const char* messageId;
};

constexpr std::array<EventInfo, 9> kEvents{{
    {"token.issued", "4cfa876d70844600ae11c8d3d59a25e3"},
    {"credential.refused", "5404c57845cc46b2bb9c156802e4e68e"},
    {"access.denied", "08c8adf14eb844acada0ba53cdcca9b8"},
    {"profile.created", "b68f7671ed554c2ba03b678920aeb96e"},
    {"profile.changed", "949a5002168247ebbcade79901209188"},
    {"profile.deleted", "ba30ea6506cb49c896d21ea7afdd5c74"},
    {"issuer.created", "63df0a8fe1a04574b81cf5fde0eef19b"},
    {"issuer.changed", "c22fb6c75e59477faef8258c6704a610"},
    {"issuer.deleted", "f71e0110944e4fea8435b75096346cab"},
}};

const EventInfo& Info(Event event) { return kEvents.at(static_cast<size_t>(event)); }

// A client chooses some texts of a record (the user name or domain it claims, its operation id):
// like the log, a record keeps at most kQuoteLimit bytes of each, so that a refused request of
// megabytes does not become a record of megabytes.
void WriteText(std::string& out, std::string_view text) {
  if (text.size() <= Basalt::kQuoteLimit) {
    Orbi::Json::WriteString(out, text);
  } else {
    Orbi::Json::WriteString(out, Basalt::QuoteClientText(text));
  }
}

void WriteStrings(std::string& out, const std::vector<std::string>& items) {
  out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    WriteText(out, items[i]);
  }
  out += ']';
}

// Writes the members of one JSON object: `Member` opens a member and the caller writes its value.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ~ObjectWriter() { out_ += '}'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  // `name` is one of this file's member names: plain identifiers, nothing to escape.
  std::string& Member(const char* name) {
    out_ += first_ ? "\"" : ",\"";
    first_ = false;
    out_ += name;
    out_ += "\":";
    return out_;
  }
  void Text(const char* name, std::string_view value) {
    if (!value.empty()) WriteText(Member(name), value);
  }
  void Optional(const char* name, const std::optional<std::string>& value) {
    if (value) WriteText(Member(name), *value);
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void WriteSubject(std::string& out, const Subject& subject) {
  ObjectWriter object(out);
  object.Optional("user", subject.user);
  if (subject.hostUser) object.Member("host_user") += *subject.hostUser ? "true" : "false";
  object.Optional("issuer_alias", subject.issuerAlias);
  object.Optional("domain", subject.domain);
  if (!subject.groups.empty()) WriteStrings(object.Member("groups"), subject.groups);
}

void WriteState(std::string& out, const TargetState& state) {
  ObjectWriter object(out);
  object.Optional("issuer", state.issuer);
  if (state.issuer) {
    std::string& chains = object.Member("chains");
    chains += '[';
    for (size_t i = 0; i < state.chains.size(); ++i) {
      if (i > 0) chains += ',';
      WriteStrings(chains, state.chains[i]);
    }
    chains += ']';
  } else {
    WriteStrings(object.Member("grants"), state.grants);
  }
}

template <class Writer>
std::string Json(Writer write) {
  std::string out;
  write(out);
  return out;
}

}  // namespace

const char* EventName(Event event) { return Info(event).name; }
const char* EventMessageId(Event event) { return Info(event).messageId; }

std::string TokenDigest(std::string_view token) {
  return Basalt::Crypto::Sha256Hex(token).substr(0, 16);
}

std::string FormatLine(const Record& record) {
  std::string out;
  out.reserve(512);  // a token's record, about 340 bytes, without growing
  {
    ObjectWriter object(out);
    std::string& time = object.Member("time");
    time += '"';
    Basalt::System::AppendUtcMilliseconds(time, record.timeMs);
    time += '"';
    object.Text("event", EventName(record.event));
    object.Text("op_id", record.opId);
    if (record.callerUid) object.Member("caller_uid") += std::to_string(*record.callerUid);
    object.Text("scheme", record.scheme);
    if (record.subject) WriteSubject(object.Member("subject"), *record.subject);
    object.Text("outcome", record.reason.empty() ? "ok" : "refused");
    object.Text("reason", record.reason);
    if (record.heldBack > 0) object.Member("held_back") += std::to_string(record.heldBack);
    if (record.entitlements) WriteStrings(object.Member("entitlements"), *record.entitlements);
    if (record.expires) object.Member("expires") += std::to_string(*record.expires);
    object.Text("token_sha256", record.tokenSha256);
    object.Text("service", record.service);
    object.Text("operation", record.operation);
    object.Text("target", record.target);
    if (record.before) WriteState(object.Member("before"), *record.before);
    if (record.after) WriteState(object.Member("after"), *record.after);
  }
  out += '\n';
  return out;
}

std::vector<std::string> JournalFields(const Record& record) {
  std::vector<std::string> fields;
  // JSON members are built of bounded texts already; plain ones are bounded here.
  const auto addJson = [&fields](const char* name, const std::string& json) {
    fields.push_back(std::string(name) + "=" + json);
  };
  const auto add = [&fields](const char* name, const std::string& value) {
    if (!value.empty()) fields.push_back(std::string(name) + "=" + Basalt::QuoteClientText(value));
  };
  std::string outcome = record.reason.empty() ? "ok" : "refused";
  add("MESSAGE_ID", EventMessageId(record.event));
  add("MESSAGE", std::string("audit ") + EventName(record.event) + " " + outcome);
  add("PRIORITY", record.reason.empty() ? "6" : "5");  // refusals as notices
  add("NOX_TIME", Basalt::System::FormatUtcMilliseconds(record.timeMs));
  add("NOX_EVENT", EventName(record.event));
  add("NOX_OP_ID", record.opId);
  if (record.callerUid) add("NOX_CALLER_UID", std::to_string(*record.callerUid));
  add("NOX_SCHEME", record.scheme);
  if (record.subject) {
    addJson("NOX_SUBJECT", Json([&](std::string& out) { WriteSubject(out, *record.subject); }));
    if (record.subject->user) add("NOX_SUBJECT_USER", *record.subject->user);
  }
  add("NOX_OUTCOME", outcome);
  add("NOX_REASON", record.reason);
  if (record.heldBack > 0) add("NOX_HELD_BACK", std::to_string(record.heldBack));
  if (record.entitlements) {
    addJson("NOX_ENTITLEMENTS",
            Json([&](std::string& out) { WriteStrings(out, *record.entitlements); }));
  }
  if (record.expires) add("NOX_EXPIRES", std::to_string(*record.expires));
  add("NOX_TOKEN_SHA256", record.tokenSha256);
  add("NOX_SERVICE", record.service);
  add("NOX_OPERATION", record.operation);
  add("NOX_TARGET", record.target);
  if (record.before) {
    addJson("NOX_BEFORE", Json([&](std::string& out) { WriteState(out, *record.before); }));
  }
  if (record.after) {
    addJson("NOX_AFTER", Json([&](std::string& out) { WriteState(out, *record.after); }));
  }
  return fields;
}

}  // namespace NoxToken::Audit
