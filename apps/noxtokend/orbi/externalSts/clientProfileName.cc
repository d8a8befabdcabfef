#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {

using Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject;
using Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType;

std::string EscapeProfileNamePart(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '#') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string MakeProfileName(const Subject& subject) {
  std::string prefix;
  switch (subject.type.GetValue()) {
    case SubjectType::LOCAL_USER:
      prefix = "LU";
      break;
    case SubjectType::EXTERNAL_GROUP:
      prefix = "SG";
      break;
    case SubjectType::EXTERNAL_USER:
      prefix = "SU";
      break;
    case SubjectType::UNKNOWN:
      break;
  }
  return prefix + "#" + EscapeProfileNamePart(subject.issuerAlias.value_or("")) + "#" +
         EscapeProfileNamePart(subject.domain.value_or("")) + "#" +
         EscapeProfileNamePart(subject.name.value_or(""));
}

}  // namespace NoxToken
