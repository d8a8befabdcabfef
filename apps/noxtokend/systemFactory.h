// The daemon's system factory: the runtime's own, installed before the runtime starts.
#pragma once

#include "platform/basalt/systemFactory.h"

namespace NoxToken::System {

class SystemFactory final : public Basalt::System::SystemFactory {
 public:
  ~SystemFactory() override = default;
};

}  // namespace NoxToken::System
