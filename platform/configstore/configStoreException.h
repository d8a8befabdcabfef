// The failure every configuration store operation raises; its text is meant for the log.
#pragma once

#include "platform/basalt/exception.h"

namespace NoxConfigStore {

class ConfigStoreException : public Basalt::Exception {
 public:
  using Basalt::Exception::Exception;
};

}  // namespace NoxConfigStore
