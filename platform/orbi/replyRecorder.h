// For tests: a Reply that records what a service answered, for checking after the call.
//
//   Orbi::Bind::Testing::ReplyRecorder<Info> got;
//   impl.Get(context, "LU###root", got.Reply());
//   ASSERT_TRUE(got.value);  // or got.error->kind, got.Text(0) for a message's rendered text
//
// The recorder must outlive the Reply; not thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/orbi/reply.h"

namespace Orbi::Bind::Testing {

template <class T>
class ReplyRecorder {
 public:
  // Failures are rendered by `localizer` (the framework's default when null).
  explicit ReplyRecorder(std::shared_ptr<const L10n::Localizer> localizer = nullptr)
      : localizer_(localizer ? std::move(localizer) : L10n::Localizer::Default()) {}

  Bind::Reply<T> Reply() {
    auto onError = [this](const Std::StdError& e) {
      ++calls;
      error = e;
    };
    if constexpr (std::is_void_v<T>) {
      return Bind::Reply<void>(
          [this] {
            ++calls;
            answered = true;
          },
          onError, localizer_);
    } else {
      return Bind::Reply<T>(
          [this](T v) {
            ++calls;
            value = std::move(v);
          },
          onError, localizer_);
    }
  }

  // The rendered text of the error's message at `index`.
  std::string Text(size_t index) const { return localizer_->Format(error->messages.at(index)); }

  int calls = 0;
  bool answered = false;  // Reply<void> only
  std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
  std::optional<Std::StdError> error;

 private:
  std::shared_ptr<const L10n::Localizer> localizer_;
};

}  // namespace Orbi::Bind::Testing
