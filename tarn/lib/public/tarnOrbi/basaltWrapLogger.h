// Lets framework components log into a runtime logger: framework level L is runtime level 7 - L.
#pragma once

#include <memory>

#include "platform/basalt/logger.h"
#include "platform/orbi/provider.h"

namespace TarnOrbi {

class BasaltWrapLoggger final : public Orbi::Core::Logger {
 public:
  explicit BasaltWrapLoggger(std::shared_ptr<Basalt::Service::Logger> logger)
      : logger_(std::move(logger)) {}

  bool IsEnabled(int level) const override { return logger_->IsEnabled(7 - level); }
  void Log(int level, const std::string& text) const override {
    logger_->Log(7 - level, "%1", text);
  }

 private:
  std::shared_ptr<Basalt::Service::Logger> logger_;
};

}  // namespace TarnOrbi
