// Owning handle for libjwt's token objects.
#pragma once

#include <jwt.h>

#include <cstdlib>
#include <memory>

namespace Nox::Authn {

struct JwtDeleter {
  void operator()(jwt_t* token) const { jwt_free(token); }
};
using JwtPtr = std::unique_ptr<jwt_t, JwtDeleter>;

// Texts libjwt allocated (encodings, claims as JSON), released with free().
struct JwtTextFree {
  void operator()(char* text) const { std::free(text); }
};
using JwtText = std::unique_ptr<char, JwtTextFree>;

}  // namespace Nox::Authn
