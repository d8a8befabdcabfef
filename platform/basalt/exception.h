// Root of every error the runtime and the daemon raise as exceptions.
#pragma once

#include <exception>
#include <string>

namespace Basalt {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& GetMessage() const { return message_; }

 private:
  std::string message_;
};

}  // namespace Basalt
