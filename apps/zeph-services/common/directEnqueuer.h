// Runs provider work at once on the calling thread.
#pragma once

#include <functional>

namespace Zeph::Common::BasaltOrbi {

struct DirectEnqueuer {
  void operator()(const std::function<void()>& work) const { work(); }
};

}  // namespace Zeph::Common::BasaltOrbi
