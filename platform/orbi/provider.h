// The provider contract: a call is an operation of an interface, an input value and an execution
// context; every call ends in exactly one result through its callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

// Looked up by views as well: a lookup by a constant name builds no string.
using StringMap = std::map<std::string, std::string, std::less<>>;

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
using AsyncApiResultCb =
    std::function<void(std::optional<MethodResult>, std::optional<Progress>, Continuation)>;

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

// Answers a result through a callback exactly once, whichever path completes the call.
AsyncApiResultCb CallOnce(AsyncApiResultCb callback);

}  // namespace Orbi::Core
