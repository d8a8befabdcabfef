#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

namespace {
void AppendEscaped(std::string_view text, std::string& out) {
  for (char c : text) {
    if (c == '\\' || c == '#') out += '\\';
    out += c;
  }
}
}  // namespace

std::string EscapeProfileNamePart(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  AppendEscaped(text, escaped);
  return escaped;
}

void AppendProfileName(const Subject& subject, std::string& out) {
  out += ProfileNamePrefix(subject.type);
  for (const auto* part : {&subject.issuerAlias, &subject.domain, &subject.name}) {
    out += '#';
    if (*part) AppendEscaped(**part, out);
  }
}

std::string MakeProfileName(const Subject& subject) {
  std::string name;
  AppendProfileName(subject, name);
  return name;
}

}  // namespace NoxToken
