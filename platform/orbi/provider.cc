#include "platform/orbi/provider.h"

#include <atomic>

namespace Orbi::Core {

AsyncApiResultCb CallOnce(AsyncApiResultCb callback) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  return [callback = std::move(callback), done](std::optional<MethodResult> result,
                                                std::optional<Progress> progress,
                                                Continuation continuation) {
    if (done->load()) return;
    if (result && done->exchange(true)) return;
    callback(std::move(result), progress, std::move(continuation));
  };
}

}  // namespace Orbi::Core
