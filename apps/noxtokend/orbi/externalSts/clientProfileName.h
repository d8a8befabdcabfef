// The profile name, the key of a client profile throughout the daemon:
// prefix "#" issuer-alias "#" domain "#" name, with "LU", "SG" or "SU" as prefix for a local user,
// external group or external user, absent parts empty and every part escaped. Subjects that are
// equal therefore have equal names, and different subjects different ones.
#pragma once

#include <iterator>
#include <string>
#include <string_view>

#include "platform/bindings/clientProfiles.h"

namespace NoxToken {

// "LU", "SG" or "SU" for a local user, external group or external user; empty for the unknown
// type.
inline std::string_view ProfileNamePrefix(
    const Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType& type) {
  constexpr std::string_view kPrefixes[] = {"LU", "SG", "SU", ""};
  static_assert(std::size(kPrefixes) ==
                Com::Tessel::Nox::Authentication::ClientProfilesSvc::SubjectType::UNKNOWN + 1);
  return kPrefixes[type.GetValue()];
}

// Doubles every backslash, then puts a backslash before every "#".
std::string EscapeProfileNamePart(std::string_view text);

std::string MakeProfileName(const Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject& s);
// The same name written at the end of `out`.
void AppendProfileName(const Com::Tessel::Nox::Authentication::ClientProfilesSvc::Subject& s,
                       std::string& out);

}  // namespace NoxToken
