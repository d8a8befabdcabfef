// Localizable messages: an id, a default English template with {named} arguments, and values.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/basalt/logger.h"
#include "platform/orbi/values.h"

namespace Orbi::L10n {

using Argument = std::variant<std::string, int64_t>;

struct Message {
  std::string id;
  std::vector<std::pair<std::string, Argument>> args;
};

using TemplateGetter = std::function<std::string(const std::string& id)>;
using ArgumentFormatter = std::function<std::string(const Argument&, const std::string& locale)>;

std::string DefaultArgumentFormatter(const Argument& argument, const std::string& locale);

// Replaces every "{name}" by its formatted argument; unknown names stay as written.
std::string FillTemplate(std::string_view pattern, const Message& message,
                         const ArgumentFormatter& formatter, const std::string& locale);

class Localizer {
 public:
  Localizer(std::vector<std::string> locales, TemplateGetter getter,
            ArgumentFormatter formatter = DefaultArgumentFormatter);

  // The framework's own localizer ("en_US", the framework's message table).
  static std::shared_ptr<const Localizer> Default();

  // The text for the preferred locale. Both forms quote at most Basalt::kQuoteLimit bytes of each
  // text argument, marked as cut.
  std::string Format(const Message& message) const;
  // The same text for a log line: the template as it stands, each argument escaped and bounded
  // as the logger shows client text.
  Basalt::Service::LogReadyText FormatForLog(const Message& message) const;
  // A "com.tessel.orbi.std.localizable_message" structure.
  Data::ValuePtr ToValue(const Message& original) const;

 private:
  std::vector<std::string> locales_;
  TemplateGetter getter_;
  ArgumentFormatter formatter_;
};

// Default texts of the framework's own message ids ("orbi.recv.failed", ...); empty if unknown.
std::string FrameworkMessageTemplate(const std::string& id);

}  // namespace Orbi::L10n
