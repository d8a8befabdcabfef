#include "platform/basalt/libXml.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "platform/basalt/exception.h"

namespace Basalt::Xml {
namespace {

constexpr char kLibrary[] = "libxml2.so.2";

[[noreturn]] void FailToLoad(const std::string& reason) {
  throw Exception(std::string("Cannot load ") + kLibrary + ": " + reason);
}

}  // namespace

LibXml::LibXml(LoadKey, void* library) : library_(library) {
  free_ = reinterpret_cast<xmlFreeFunc*>(dlsym(library_, "xmlFree"));
  if (free_ == nullptr) Fail("no xmlFree");
#define BASALT_LIBXML_BIND(name)                                   \
  name = reinterpret_cast<decltype(name)>(dlsym(library_, #name)); \
  if (name == nullptr) Fail("no function " #name);
  BASALT_LIBXML_FUNCTIONS(BASALT_LIBXML_BIND)
#undef BASALT_LIBXML_BIND
  this->xmlInitParser();  // the bound function, once per load
}

LibXml::~LibXml() { dlclose(library_); }

void LibXml::Fail(const std::string& reason) const {
  dlclose(library_);
  FailToLoad(reason);
}

std::shared_ptr<const LibXml> LibXml::Acquire() {
  static std::mutex mutex;
  static std::weak_ptr<const LibXml> loaded;
  const std::lock_guard lock(mutex);
  if (auto held = loaded.lock()) return held;
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    FailToLoad(error ? error : "unknown error");
  }
  // From here on the object owns the handle: a missing function closes it again.
  std::shared_ptr<const LibXml> held = std::make_shared<const LibXml>(LoadKey(), library);
  loaded = held;
  return held;
}

}  // namespace Basalt::Xml
