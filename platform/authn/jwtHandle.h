// Owning handle for libjwt's token objects.
#pragma once

#include <jwt.h>

#include <memory>

namespace Nox::Authn {

struct JwtDeleter {
  void operator()(jwt_t* token) const { jwt_free(token); }
};
using JwtPtr = std::unique_ptr<jwt_t, JwtDeleter>;

}  // namespace Nox::Authn
