#include "platform/orbi/provider.h"

#include <atomic>

namespace Orbi::Core {

AsyncApiResultCb CallOnce(AsyncApiResultCb callback) {
  struct Once {
    AsyncApiResultCb callback;
    std::atomic<bool> done{false};
  };
  // One shared pointer fits std::function's local storage: copies of the result allocate nothing.
  auto once = std::make_shared<Once>();
  once->callback = std::move(callback);
  return [once](std::optional<MethodResult> result, std::optional<Progress> progress,
                Continuation continuation) {
    if (once->done.load()) return;
    if (result && once->done.exchange(true)) return;
    once->callback(std::move(result), progress, std::move(continuation));
  };
}

}  // namespace Orbi::Core
