#include "platform/basalt/sharedLibrary.h"

#include <dlfcn.h>

namespace Basalt {

Result<SharedLibrary, std::string> SharedLibrary::Open(const char* soname) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    return Unexpected<std::string>{error ? error : "unknown error"};
  }
  return SharedLibrary(handle);
}

void* SharedLibrary::Find(const char* name) const {
  return handle_ ? dlsym(handle_.get(), name) : nullptr;
}

void SharedLibrary::Closer::operator()(void* handle) const { dlclose(handle); }

}  // namespace Basalt
