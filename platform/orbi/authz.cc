#include "platform/orbi/authz.h"

#include "platform/orbi/errors.h"

namespace Orbi::Authz::Filter {

void GenerateUnauthorized::operator()() const {
  resultCb_(Core::MethodResult::Failure(Std::Unauthorized().ToErrorValue()), std::nullopt, nullptr);
}

}  // namespace Orbi::Authz::Filter
