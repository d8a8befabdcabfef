// The application's XML configuration file, read once at start-up. Values are addressed by the
// element path below the root element ("endpoint/portNum") and are the element's trimmed text.
// Thread-safe: the getters only note which keys were asked for.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Basalt::Service {

class Config {
 public:
  // One leaf element: its attributes and trimmed text.
  struct Element {
    std::map<std::string, std::string> attributes;
    std::string text;
  };

  // Throws Basalt::Exception "cannot read configuration file '<path>': <reason>" when the file is
  // missing, unreadable, malformed or carries a DOCTYPE.
  static std::shared_ptr<const Config> LoadFile(const std::string& path);

  // Same checks on text already in memory; `origin` names it in error messages.
  static std::shared_ptr<const Config> Parse(std::string_view text, const std::string& origin);

  // True when `text` is a whole decimal 64-bit integer.
  static bool ParseInteger(std::string_view text, int64_t& out);

  // False when absent; throws Basalt::Exception when present but not a decimal 64-bit integer.
  bool GetInt(const std::string& key, int64_t& out) const;

  // False when absent; throws Basalt::Exception when present but neither "true" nor "false".
  bool GetBool(const std::string& key, bool& out) const;

  // False when absent. Elements that contain other elements are not values.
  bool GetString(const std::string& key, std::string& out) const;

  // Every leaf element at `key`, in document order ("log/logger").
  std::vector<Element> GetElements(const std::string& key) const;

  // Keys of the file that no getter has asked for so far, sorted: the elements nobody knows.
  std::vector<std::string> GetUnreadKeys() const;

  // The path or origin the configuration was read from.
  const std::string& GetOrigin() const { return origin_; }

 private:
  Config(std::multimap<std::string, Element> elements, std::string origin);
  void NoteRead(const std::string& key) const;

  std::multimap<std::string, Element> elements_;
  std::string origin_;
  mutable std::mutex readMutex_;
  mutable std::set<std::string> readKeys_;  // guarded by readMutex_
};

}  // namespace Basalt::Service
