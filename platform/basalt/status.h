// Status: the outcome of a store operation, a code and, for a refusal, a message. Expected
// outcomes (a name that is taken, a key that is absent, a write the store refused) travel as a
// Status or inside a Basalt::Result; exceptions stay for failures outside a function's contract.
// A value type; no thread safety of its own.
#pragma once

#include <string>
#include <utility>

namespace Basalt {

class [[nodiscard]] Status {
 public:
  enum class Code { kOk, kNotFound, kAlreadyExists, kInvalidArgument, kIOError };

  Status() = default;
  static Status Ok() { return {}; }
  static Status NotFound(std::string message = {}) { return {Code::kNotFound, std::move(message)}; }
  static Status AlreadyExists(std::string message = {}) {
    return {Code::kAlreadyExists, std::move(message)};
  }
  static Status InvalidArgument(std::string message = {}) {
    return {Code::kInvalidArgument, std::move(message)};
  }
  // The store refused a read or a write; `message` is its own text.
  static Status IOError(std::string message) { return {Code::kIOError, std::move(message)}; }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

}  // namespace Basalt
