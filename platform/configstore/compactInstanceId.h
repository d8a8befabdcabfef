// A stored object's instance id held in little room, for owners of many ids (one per object of a
// large key): 16 bytes when it is a random id as GenerateInstanceId makes them (a lowercase UUID
// in its 36-character form), the text itself for any other id, which the store accepts too.
// ToString gives back exactly the text it was made from. A value; not synchronised.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace NoxConfigStore {

class CompactInstanceId {
 public:
  explicit CompactInstanceId(std::string_view text);

  CompactInstanceId(CompactInstanceId&&) noexcept = default;
  CompactInstanceId& operator=(CompactInstanceId&&) noexcept = default;

  std::string ToString() const;

 private:
  std::array<uint8_t, 16> uuid_{};
  std::unique_ptr<const std::string> text_;  // set when the id is not a lowercase UUID
};

}  // namespace NoxConfigStore
