#include "platform/basalt/libXml.h"

#include <mutex>
#include <string>
#include <utility>

#include "platform/basalt/exception.h"

namespace Basalt::Xml {
namespace {

constexpr char kLibrary[] = "libxml2.so.2";

[[noreturn]] void FailToLoad(const std::string& reason) {
  throw Exception(std::string("Cannot load ") + kLibrary + ": " + reason);
}

}  // namespace

LibXml::LibXml(LoadKey, SharedLibrary library) : library_(std::move(library)) {
  free_ = library_.Bind<xmlFreeFunc*>("xmlFree");
  if (free_ == nullptr) FailToLoad("no xmlFree");
#define BASALT_LIBXML_BIND(name)               \
  name = library_.Bind<decltype(name)>(#name); \
  if (name == nullptr) FailToLoad("no function " #name);
  BASALT_LIBXML_FUNCTIONS(BASALT_LIBXML_BIND)
#undef BASALT_LIBXML_BIND
  this->xmlInitParser();  // the bound function, once per load
}

std::shared_ptr<const LibXml> LibXml::Acquire() {
  static std::mutex mutex;
  static std::weak_ptr<const LibXml> loaded;
  const std::lock_guard lock(mutex);
  if (auto held = loaded.lock()) return held;
  auto library = SharedLibrary::Open(kLibrary);
  if (!library) FailToLoad(library.error());
  // A missing function closes the library again with the library's owner.
  std::shared_ptr<const LibXml> held =
      std::make_shared<const LibXml>(LoadKey(), std::move(library).value());
  loaded = held;
  return held;
}

}  // namespace Basalt::Xml
