#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

namespace {
void AppendEscaped(std::string_view text, std::string& out) {
  // Runs without a character to escape are copied whole.
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' && text[i] != '#') continue;
    out.append(text.data() + run, i - run).append(1, '\\');
    run = i;  // the escaped character opens the next run
  }
  out.append(text.data() + run, text.size() - run);
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
