// The typed completion of one operation. A service answers its value once with Answer, or fails
// once with a standard error that Fail renders through the localizer the service was bound with.
//
// Copyable and cheap to pass by value; the binder builds it around the call's result callback,
// tests around their own functions. Calling neither, or both, is a defect of the service.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/orbi/errors.h"
#include "platform/orbi/localizer.h"

namespace Orbi::Bind {

namespace Detail {

class ReplyBase {
 public:
  using OnError = std::function<void(const Std::StdError&)>;

  ReplyBase(OnError onError, std::shared_ptr<const L10n::Localizer> localizer)
      : onError_(std::move(onError)),
        localizer_(localizer ? std::move(localizer) : L10n::Localizer::Default()) {}

  void Fail(const Std::StdError& error) const { onError_(error); }
  // The text a message has in the answer, e.g. for the log line that goes with a refusal.
  std::string Format(const L10n::Message& message) const { return localizer_->Format(message); }
  const std::shared_ptr<const L10n::Localizer>& GetLocalizer() const { return localizer_; }

 private:
  OnError onError_;
  std::shared_ptr<const L10n::Localizer> localizer_;
};

}  // namespace Detail

template <class T>
class Reply : public Detail::ReplyBase {
 public:
  using OnValue = std::function<void(T)>;

  Reply(OnValue onValue, OnError onError,
        std::shared_ptr<const L10n::Localizer> localizer = nullptr)
      : ReplyBase(std::move(onError), std::move(localizer)), onValue_(std::move(onValue)) {}

  void Answer(T value) const { onValue_(std::move(value)); }

 private:
  OnValue onValue_;
};

template <>
class Reply<void> : public Detail::ReplyBase {
 public:
  using OnValue = std::function<void()>;

  Reply(OnValue onValue, OnError onError,
        std::shared_ptr<const L10n::Localizer> localizer = nullptr)
      : ReplyBase(std::move(onError), std::move(localizer)), onValue_(std::move(onValue)) {}

  void Answer() const { onValue_(); }

 private:
  OnValue onValue_;
};

}  // namespace Orbi::Bind
