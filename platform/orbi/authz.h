// Pieces that authorization filters share.
#pragma once

#include <utility>

#include "platform/orbi/provider.h"

namespace Orbi::Authz::Filter {

// Completes a refused call with the standard Unauthorized error (no message). A filter hands it
// to its enqueuer rather than answering on the spot.
class GenerateUnauthorized {
 public:
  explicit GenerateUnauthorized(Core::AsyncApiResultCb resultCb) : resultCb_(std::move(resultCb)) {}
  void operator()() const;

 private:
  Core::AsyncApiResultCb resultCb_;
};

}  // namespace Orbi::Authz::Filter
