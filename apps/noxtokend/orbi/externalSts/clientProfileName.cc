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

std::string_view ProfileNamePrefix(const SubjectType& type) {
  switch (type.GetValue()) {
    case SubjectType::LOCAL_USER:
      return "LU";
    case SubjectType::EXTERNAL_GROUP:
      return "SG";
    case SubjectType::EXTERNAL_USER:
      return "SU";
    case SubjectType::UNKNOWN:
      break;
  }
  return {};
}

std::string MakeProfileName(const Subject& subject) {
  return std::string(ProfileNamePrefix(subject.type)) + "#" +
         EscapeProfileNamePart(subject.issuerAlias.value_or("")) + "#" +
         EscapeProfileNamePart(subject.domain.value_or("")) + "#" +
         EscapeProfileNamePart(subject.name.value_or(""));
}

}  // namespace NoxToken
