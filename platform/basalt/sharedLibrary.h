// A shared library loaded at run time, for libraries a call needs only now and then: a library
// the executable links stays mapped, and partly resident, in every process for its whole life.
// Owns the dlopen handle and closes it when the object goes, unless KeepLoaded() was called.
// Thread-safe once opened: binding only reads.
#pragma once

#include <memory>
#include <string>

#include "platform/basalt/result.h"

namespace Basalt {

class SharedLibrary {
 public:
  // The library `soname`, loaded with its dependencies; or the loader's reason it cannot be.
  static Result<SharedLibrary, std::string> Open(const char* soname);

  // The function `name` of the library as `Function`, or nullptr when it has none.
  template <typename Function>
  Function Bind(const char* name) const {
    return reinterpret_cast<Function>(Find(name));
  }

  // Leaves the library loaded for the life of the process, for libraries that install callbacks
  // elsewhere. Bind nothing afterwards.
  void KeepLoaded() { static_cast<void>(handle_.release()); }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* Find(const char* name) const;

  std::unique_ptr<void, Closer> handle_;
};

}  // namespace Basalt
