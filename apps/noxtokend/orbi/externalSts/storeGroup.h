// Where the daemon's objects sit in the configuration store: one component and group for the
// client profiles, the profile flags and the trusted issuers.
#pragma once

namespace NoxToken {

inline constexpr const char* kStoreComponent = "nox";
inline constexpr const char* kStoreGroup = "authentication";

}  // namespace NoxToken
