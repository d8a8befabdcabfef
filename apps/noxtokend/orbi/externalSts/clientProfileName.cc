#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

namespace {
void AppendEscaped(std::string_view text, std::string& out) {
  // Runs without a character to escape are copied whole.
  for (size_t special; (special = text.find_first_of("\\#")) != std::string_view::npos;) {
    out.append(text.substr(0, special)).append(1, '\\').append(1, text[special]);
    text.remove_prefix(special + 1);
  }
  out.append(text);
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
  // Room for the name without escapes, which most names have.
  size_t size = ProfileNamePrefix(subject.type).size();
  for (const auto* part : {&subject.issuerAlias, &subject.domain, &subject.name}) {
    size += 1 + (*part ? (*part)->size() : 0);
  }
  name.reserve(size);
  AppendProfileName(subject, name);
  return name;
}

}  // namespace NoxToken
