// The framework's standard errors and their conversion to error values.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/orbi/localizer.h"
#include "platform/orbi/values.h"

namespace Orbi::Std {

enum class ErrorKind {
  kNotFound,
  kAlreadyExists,
  kInvalidArgument,
  kUnauthenticated,
  kUnauthorized,
  kInternalServerError,
  kError,
  kOperationNotFound,
};

// "not_found", ... as in "com.tessel.orbi.std.errors.not_found".
const char* KindName(ErrorKind kind);
// "NOT_FOUND", ... the value of the "error_type" member.
const char* ErrorTypeName(ErrorKind kind);

struct StdError {
  ErrorKind kind;
  std::vector<L10n::Message> messages;
  Data::ValuePtr data;  // a structure, or null

  std::shared_ptr<const Data::ErrorValue> ToErrorValue(const L10n::Localizer& localizer) const;
  // With the framework's default localizer ("en_US").
  std::shared_ptr<const Data::ErrorValue> ToErrorValue() const;
};

inline StdError NotFound(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kNotFound, std::move(m), nullptr};
}
inline StdError AlreadyExists(std::vector<L10n::Message> m = {}, Data::ValuePtr data = nullptr) {
  return {ErrorKind::kAlreadyExists, std::move(m), std::move(data)};
}
inline StdError InvalidArgument(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kInvalidArgument, std::move(m), nullptr};
}
inline StdError Unauthenticated(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kUnauthenticated, std::move(m), nullptr};
}
inline StdError Unauthorized(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kUnauthorized, std::move(m), nullptr};
}
inline StdError InternalServerError(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kInternalServerError, std::move(m), nullptr};
}
inline StdError Error(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kError, std::move(m), nullptr};
}
inline StdError OperationNotFound(std::vector<L10n::Message> m = {}) {
  return {ErrorKind::kOperationNotFound, std::move(m), nullptr};
}

}  // namespace Orbi::Std
