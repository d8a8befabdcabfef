#include "platform/orbi/errors.h"

#include "platform/orbi/frameworkIds.h"

namespace Orbi::Std {

const char* KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "not_found";
    case ErrorKind::kAlreadyExists:
      return "already_exists";
    case ErrorKind::kInvalidArgument:
      return "invalid_argument";
    case ErrorKind::kUnauthenticated:
      return "unauthenticated";
    case ErrorKind::kUnauthorized:
      return "unauthorized";
    case ErrorKind::kInternalServerError:
      return "internal_server_error";
    case ErrorKind::kError:
      return "error";
    case ErrorKind::kOperationNotFound:
      return "operation_not_found";
  }
  return "error";
}

const char* ErrorTypeName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "NOT_FOUND";
    case ErrorKind::kAlreadyExists:
      return "ALREADY_EXISTS";
    case ErrorKind::kInvalidArgument:
      return "INVALID_ARGUMENT";
    case ErrorKind::kUnauthenticated:
      return "UNAUTHENTICATED";
    case ErrorKind::kUnauthorized:
      return "UNAUTHORIZED";
    case ErrorKind::kInternalServerError:
      return "INTERNAL_SERVER_ERROR";
    case ErrorKind::kError:
      return "ERROR";
    case ErrorKind::kOperationNotFound:
      return "OPERATION_NOT_FOUND";
  }
  return "ERROR";
}

std::shared_ptr<const Data::ErrorValue> StdError::ToErrorValue(
    const L10n::Localizer& localizer) const {
  auto value =
      std::make_shared<Data::ErrorValue>(std::string(Ids::kErrorNamePrefix) + KindName(kind));
  value->SetField("error_type", Data::StringValue::Create(ErrorTypeName(kind)));
  auto list = Data::ListValue::Create();
  for (const auto& message : messages) list->Add(localizer.ToValue(message));
  value->SetField("messages", list);
  value->SetField("data", data);
  return value;
}

std::shared_ptr<const Data::ErrorValue> StdError::ToErrorValue() const {
  return ToErrorValue(*L10n::Localizer::Default());
}

}  // namespace Orbi::Std
