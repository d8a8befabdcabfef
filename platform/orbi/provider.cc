#include "platform/orbi/provider.h"

#include <atomic>

namespace Orbi::Core {

AsyncApiResultCb CallOnce(AsyncApiResultCb callback) {
  struct Once {
    explicit Once(AsyncApiResultCb callback) : callback(std::move(callback)) {}
    void operator()(std::optional<MethodResult> result, std::optional<Progress> progress,
                    Continuation continuation) {
      if (done.load()) return;
      if (result && done.exchange(true)) return;
      callback(std::move(result), progress, std::move(continuation));
    }
    AsyncApiResultCb callback;
    std::atomic<bool> done{false};
  };
  // One allocation: every copy of the result shares the Once.
  return AsyncApiResultCb::Make<Once>(std::move(callback));
}

}  // namespace Orbi::Core
