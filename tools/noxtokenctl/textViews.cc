#include "tools/noxtokenctl/textViews.h"

#include "tools/noxtokenctl/certificateFacts.h"
#include "tools/noxtokenctl/commandInput.h"
#include "tools/noxtokenctl/textTable.h"

namespace NoxCtl {
namespace {

// "HOST:ADMINISTRATOR", one grant per line; "-" for none.
std::string GrantsText(const json_t* grants, const char* separator) {
  std::string text;
  size_t index;
  const json_t* grant;
  json_array_foreach(grants, index, grant) {
    if (!text.empty()) text += separator;
    text += CellText(json_object_get(grant, "resource_type"));
    const json_t* entitlement = json_object_get(grant, "entitlement");
    if (entitlement != nullptr && !json_is_null(entitlement)) {
      text += ':';
      text += CellText(entitlement);
    }
  }
  return text.empty() ? "-" : text;
}

// The subject, then the issuer, validity and fingerprint indented below it.
std::string CertificateText(const std::string& pem) {
  const auto facts = ReadCertificateFacts(pem);
  if (!facts) return "(not a readable certificate)";
  const char* state = facts->expired ? " (expired)" : facts->notYetValid ? " (not yet valid)" : "";
  return facts->subject + "\n  Issuer:   " + facts->issuer + "\n  Valid:    " + facts->notBefore +
         " to " + facts->notAfter + state + "\n  SHA-256:  " + facts->sha256;
}

}  // namespace

std::string ProfileListView(const json_t& summaries, std::string_view projection) {
  const bool subjects = projection != "NAME";
  const bool grants = projection == "FULL";
  TextRow headers = {"PROFILE"};
  if (subjects) headers.insert(headers.end(), {"TYPE", "NAME", "ISSUER ALIAS", "DOMAIN"});
  if (grants) headers.push_back("GRANTS");
  std::vector<TextRow> rows;
  size_t index;
  const json_t* summary;
  json_array_foreach(&summaries, index, summary) {
    TextRow row = {CellText(json_object_get(summary, "profile"))};
    if (subjects) {
      const json_t* subject = json_object_get(summary, "subject");
      for (const char* member : {"type", "name", "issuer_alias", "domain"}) {
        row.push_back(CellText(json_object_get(subject, member)));
      }
    }
    if (grants) row.push_back(GrantsText(json_object_get(summary, "grants"), ","));
    rows.push_back(std::move(row));
  }
  return FormatTable(headers, rows);
}

std::string ProfileView(const json_t& info) {
  const json_t* subject = json_object_get(&info, "subject");
  return FormatFields({
      {"Type", CellText(json_object_get(subject, "type"))},
      {"Name", CellText(json_object_get(subject, "name"))},
      {"Issuer alias", CellText(json_object_get(subject, "issuer_alias"))},
      {"Domain", CellText(json_object_get(subject, "domain"))},
      {"Grants", GrantsText(json_object_get(&info, "grants"), "\n")},
  });
}

std::string IssuerListView(const json_t& summaries, std::string_view projection) {
  const bool issuers = projection != "ALIAS";
  const bool chains = projection == "FULL";
  TextRow headers = {"ALIAS"};
  if (issuers) headers.push_back("ISSUER");
  if (chains) headers.push_back("CHAINS");
  std::vector<TextRow> rows;
  size_t index;
  const json_t* summary;
  json_array_foreach(&summaries, index, summary) {
    TextRow row = {CellText(json_object_get(summary, "issuer_alias"))};
    if (issuers) row.push_back(CellText(json_object_get(summary, "issuer")));
    if (chains) {
      row.push_back(
          std::to_string(json_array_size(json_object_get(summary, "signing_cert_chains"))));
    }
    rows.push_back(std::move(row));
  }
  return FormatTable(headers, rows);
}

std::string IssuerView(const json_t& info) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"Issuer", CellText(json_object_get(&info, "issuer"))}};
  size_t chainIndex;
  const json_t* chain;
  json_array_foreach(json_object_get(&info, "signing_cert_chains"), chainIndex, chain) {
    std::string subjects;
    size_t certIndex;
    const json_t* pem;
    json_array_foreach(json_object_get(chain, "cert_chain"), certIndex, pem) {
      if (!subjects.empty()) subjects += '\n';
      subjects += CertificateText(CellText(pem));
    }
    fields.emplace_back("Chain " + std::to_string(chainIndex + 1),
                        subjects.empty() ? "-" : subjects);
  }
  if (fields.size() == 1) fields.emplace_back("Chains", "-");
  return FormatFields(fields);
}

std::string GenericView(const json_t& value) {
  if (json_typeof(&value) == JSON_NULL) return "";
  if (json_typeof(&value) == JSON_STRING) return CellText(&value) + "\n";
  return JsonText(value, JSON_INDENT(2)) + "\n";
}

std::string ErrorView(const json_t& error) {
  std::string text = CellText(json_object_get(&error, "error_type")) + "\n";
  size_t index;
  const json_t* message;
  json_array_foreach(json_object_get(&error, "messages"), index, message) {
    std::string line = StringMember(message, "localized");
    if (line.empty()) line = StringMember(message, "default_message");
    if (line.empty()) line = StringMember(message, "id");
    // Certificate messages span lines: keep every line under the error type.
    while (!line.empty() && line.back() == '\n') line.pop_back();
    text += "  ";
    for (char c : line) {
      text += c;
      if (c == '\n') text += "  ";
    }
    text += '\n';
  }
  return text;
}

}  // namespace NoxCtl
