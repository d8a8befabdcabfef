// The provider contract: a call is an operation of an interface, an input value and an execution
// context; every call ends in exactly one result through its callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/orbi/values.h"

namespace Orbi::Core {

// Longer than any real service or operation id: such an identifier is refused before dispatch.
inline constexpr std::size_t kMaxIdentifierLength = 256;

struct MethodIdentifier {
  std::string interfaceId;
  std::string operationName;
  // "com.tessel.nox.authentication.token.create"
  std::string ToString() const { return interfaceId + "." + operationName; }
};

// Shorter names first, then by their bytes: a lookup among a context's few names compares lengths,
// not text, for all but the name it is after. Looked up by views, building no string.
struct ShortNamesFirst {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  }
};
using StringMap = std::map<std::string, std::string, ShortNamesFirst>;

// A credential that a filter has verified, handed to a handler later in the same call so that the
// handler need not verify it again. Each kind of credential derives its own.
class VerifiedCredential {
 public:
  virtual ~VerifiedCredential() = default;
};

// Per-call context. The authentication slot is empty until an authentication filter fills it.
struct ExecutionContext {
  StringMap securityCtx;
  StringMap appCtx;
  Data::ValuePtr authnResult;
  // The calling host user, found on demand by the transport (a kernel socket-table lookup for a
  // loopback TCP peer) and remembered for the connection; unset or empty when it cannot tell.
  std::function<std::optional<uint32_t>()> callerUid;
  // Set by a filter only once the credential it names, and whatever else that filter checks of
  // the call, has passed; never shared between calls.
  std::shared_ptr<const VerifiedCredential> verifiedCredential;
  // Set by a handler that looked up the user its refused credential named: whether the host has
  // that user. Unset when nothing was looked up.
  std::optional<bool> claimedUserExists;

  std::optional<uint32_t> CallerUid() const { return callerUid ? callerUid() : std::nullopt; }

  const std::string* FindSecurity(std::string_view key) const {
    auto it = securityCtx.find(key);
    return it == securityCtx.end() ? nullptr : &it->second;
  }
  const std::string* FindApp(std::string_view key) const {
    auto it = appCtx.find(key);
    return it == appCtx.end() ? nullptr : &it->second;
  }
};
using ExecutionContextPtr = std::shared_ptr<ExecutionContext>;

// An output value (VoidValue for operations without one) or an error value.
struct MethodResult {
  Data::ValuePtr output;
  std::shared_ptr<const Data::ErrorValue> error;

  static MethodResult Output(Data::ValuePtr value) { return {std::move(value), nullptr}; }
  static MethodResult Failure(std::shared_ptr<const Data::ErrorValue> e) {
    return {nullptr, std::move(e)};
  }
  bool HasError() const { return error != nullptr; }
};

struct Progress {
  int64_t done = 0;
  int64_t total = 0;
  int64_t stage = 0;
};

// Asked of the caller after a progress report; no provider of this tree uses it.
using Continuation = std::function<void()>;

// (result, progress, continuation): a final result, or a progress report without a result.
//
// A shared handle to one callable: copies share it rather than copy it, so that handing a call's
// callback on through the chain of providers allocates only where a provider wraps it in a
// callable of its own. Copying, moving and calling are thread-safe as for std::shared_ptr; the
// callable runs under no lock, and calls through different copies reach the same callable.
class AsyncApiResultCb {
 public:
  AsyncApiResultCb() = default;
  AsyncApiResultCb(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): as std::function
  template <class F>
  requires(!std::is_same_v<std::decay_t<F>, AsyncApiResultCb> &&
           std::is_invocable_v<std::decay_t<F>&, std::optional<MethodResult>,
                               std::optional<Progress>, Continuation>)
      AsyncApiResultCb(F&& callable) {  // NOLINT(google-explicit-constructor): as std::function
    if constexpr (std::is_constructible_v<bool, const std::decay_t<F>&>) {
      if (!callable) return;  // an empty std::function or a null function pointer
    }
    target_ = std::make_shared<Target<std::decay_t<F>>>(std::forward<F>(callable));
  }

  // A handle to a callable of type F made in place from `args` (one that cannot be moved).
  template <class F, class... Args>
  static AsyncApiResultCb Make(Args&&... args) {
    AsyncApiResultCb callback;
    callback.target_ = std::make_shared<Target<F>>(std::forward<Args>(args)...);
    return callback;
  }

  // Throws std::bad_function_call when empty.
  void operator()(std::optional<MethodResult> result, std::optional<Progress> progress,
                  Continuation continuation) const {
    if (!target_) throw std::bad_function_call();
    target_->Call(std::move(result), progress, std::move(continuation));
  }
  explicit operator bool() const { return target_ != nullptr; }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual void Call(std::optional<MethodResult> result, std::optional<Progress> progress,
                      Continuation continuation) = 0;
  };
  template <class F>
  struct Target final : Callable {
    template <class... Args>
    explicit Target(Args&&... args) : callable(std::forward<Args>(args)...) {}
    void Call(std::optional<MethodResult> result, std::optional<Progress> progress,
              Continuation continuation) override {
      callable(std::move(result), progress, std::move(continuation));
    }
    F callable;
  };

  std::shared_ptr<Callable> target_;
};

// Runs a work item; the direct enqueuer runs it at once on the calling thread.
using Enqueuer = std::function<void(std::function<void()>)>;

class AsyncApiProvider {
 public:
  virtual ~AsyncApiProvider() = default;
  virtual std::string ToString() const = 0;
  virtual void Invoke(const MethodIdentifier& method, Data::ValuePtr input,
                      ExecutionContextPtr context, AsyncApiResultCb resultCb) = 0;
};
using ProviderPtr = std::shared_ptr<AsyncApiProvider>;

// Framework-side logging: level 0 is the most detailed.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual bool IsEnabled(int level) const = 0;
  virtual void Log(int level, const std::string& text) const = 0;
};
using LoggerPtr = std::shared_ptr<const Logger>;

// Answers a result through `callable` exactly once, whichever path completes the call; progress
// passes until then. One block holds the callable and its guard, which every copy shares.
template <class F>
AsyncApiResultCb CallOnce(F&& callable) {
  struct Once {
    explicit Once(F&& callable) : callable(std::forward<F>(callable)) {}
    void operator()(std::optional<MethodResult> result, std::optional<Progress> progress,
                    Continuation continuation) {
      if (done.load()) return;
      if (result && done.exchange(true)) return;
      callable(std::move(result), progress, std::move(continuation));
    }
    std::decay_t<F> callable;
    std::atomic<bool> done{false};
  };
  return AsyncApiResultCb::Make<Once>(std::forward<F>(callable));
}

}  // namespace Orbi::Core
