// The framework's own ids, each written once: the message ids of its localizable messages and
// the qualified names of its standard structures and services.
#pragma once

namespace Orbi::Ids {

// Message ids; their default texts are the framework's message table (localizer.cc).
inline constexpr const char* kRecvFailed = "orbi.recv.failed";
inline constexpr const char* kSendFailed = "orbi.send.failed";
inline constexpr const char* kInterfaceAlreadyRegistered =
    "orbi.provider.interface.already.registered";
inline constexpr const char* kServiceNotFound =
    "com.tessel.orbi.std.errors.operation_not_found.service";
inline constexpr const char* kOperationNotFound =
    "com.tessel.orbi.std.errors.operation_not_found.operation";
inline constexpr const char* kInvalidInput = "com.tessel.orbi.std.errors.invalid_input";
inline constexpr const char* kInternal = "com.tessel.orbi.std.errors.internal";

// Standard structures. An error value is named by this prefix and its kind ("not_found", ...).
inline constexpr const char* kErrorNamePrefix = "com.tessel.orbi.std.errors.";
inline constexpr const char* kLocalizableMessage = "com.tessel.orbi.std.localizable_message";

// The introspection services every local provider offers.
inline constexpr const char* kIntrospectionProvider = "com.tessel.orbi.std.introspection.provider";
inline constexpr const char* kIntrospectionService = "com.tessel.orbi.std.introspection.service";
inline constexpr const char* kIntrospectionOperation =
    "com.tessel.orbi.std.introspection.operation";

}  // namespace Orbi::Ids
