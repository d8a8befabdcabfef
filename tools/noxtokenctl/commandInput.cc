#include "tools/noxtokenctl/commandInput.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>

#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

using Orbi::Json::JsonPtr;

constexpr std::array<std::string_view, 1> kResources = {"HOST"};
constexpr std::array<std::string_view, 3> kEntitlements = {"ADMINISTRATOR", "OPERATOR",
                                                           "READ_ONLY"};
constexpr std::string_view kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kPemEnd = "-----END CERTIFICATE-----";
constexpr size_t kMaxChainFileBytes = 1024 * 1024;

template <size_t N>
bool IsOneOf(const std::string& name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

JsonPtr ParseGrant(std::string_view text) {
  const size_t colon = text.find(':');
  const std::string resource = UpperCase(text.substr(0, colon));
  const std::string entitlement =
      colon == std::string_view::npos ? "" : UpperCase(text.substr(colon + 1));
  if (!IsOneOf(resource, kResources) || !IsOneOf(entitlement, kEntitlements)) {
    throw CtlError(ExitCode::kUsage,
                   "--grant " + std::string(text) +
                       ": expected RESOURCE:ENTITLEMENT with RESOURCE HOST and ENTITLEMENT one "
                       "of ADMINISTRATOR, OPERATOR, READ_ONLY");
  }
  JsonPtr grant(json_object());
  json_object_set_new(grant.get(), "resource_type", json_string(resource.c_str()));
  json_object_set_new(grant.get(), "entitlement", json_string(entitlement.c_str()));
  return grant;
}

std::vector<std::string> SplitPemCertificates(std::string_view text) {
  std::vector<std::string> blocks;
  size_t at = 0;
  while ((at = text.find(kPemBegin, at)) != std::string_view::npos) {
    const size_t end = text.find(kPemEnd, at + kPemBegin.size());
    if (end == std::string_view::npos) break;
    blocks.emplace_back(text.substr(at, end + kPemEnd.size() - at));
    blocks.back() += '\n';
    at = end + kPemEnd.size();
  }
  return blocks;
}

std::string ReadOptionFile(const std::string& label, const std::string& file, size_t maxBytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw FileError(label + " " + file + ": cannot be read");
  std::string text(maxBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > maxBytes) {
    throw FileError(label + " " + file + ": larger than " + std::to_string(maxBytes) + " bytes");
  }
  return text;
}

JsonPtr ReadCertChain(const std::string& file) {
  const std::string text = ReadOptionFile("--chain", file, kMaxChainFileBytes);
  const std::vector<std::string> certificates = SplitPemCertificates(text);
  if (certificates.empty()) {
    throw FileError("--chain " + file + ": holds no PEM certificate");
  }
  JsonPtr pems(json_array());
  for (const auto& pem : certificates) {
    json_t* item = json_stringn(pem.data(), pem.size());
    if (item == nullptr) throw FileError("--chain " + file + ": is not text");
    json_array_append_new(pems.get(), item);
  }
  JsonPtr chain(json_object());
  json_object_set_new(chain.get(), "cert_chain", pems.release());
  return chain;
}

JsonPtr ParseInputObject(const std::string& text) {
  json_error_t error;
  JsonPtr input(json_loadb(text.data(), text.size(), 0, &error));
  if (!input) {
    throw CtlError(ExitCode::kUsage, std::string("INPUT_JSON is not JSON: ") + error.text);
  }
  if (!json_is_object(input.get())) {
    throw CtlError(ExitCode::kUsage, "INPUT_JSON must be a JSON object");
  }
  return input;
}

std::string StringMember(const json_t* object, const char* name) {
  const json_t* member = json_object_get(object, name);
  return json_is_string(member) ? std::string(json_string_value(member), json_string_length(member))
                                : std::string();
}

}  // namespace NoxCtl
