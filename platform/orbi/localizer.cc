#include "platform/orbi/localizer.h"

#include <map>

#include "platform/basalt/clientText.h"
#include "platform/orbi/frameworkIds.h"

namespace Orbi::L10n {

namespace {

const std::map<std::string, std::string, std::less<>>& FrameworkTable() {
  static const std::map<std::string, std::string, std::less<>> table = {
      {Ids::kRecvFailed, "Receiving the request failed: {0}"},
      {Ids::kSendFailed, "Sending the response failed: {0}"},
      {Ids::kInterfaceAlreadyRegistered, "Interface {interface} already registered"},
      {Ids::kServiceNotFound, "Service {service} not found"},
      {Ids::kOperationNotFound, "Operation {operation} not found in service {service}"},
      {Ids::kInvalidInput, "Invalid input at {path}: {reason}"},
      {Ids::kInternal, "Internal error: {reason}"},
  };
  return table;
}

// Arguments are often the client's own text: an answer quotes only a bounded part of each.
Message Bounded(const Message& message) {
  Message bounded{message.id, {}};
  bounded.args.reserve(message.args.size());
  for (const auto& [name, argument] : message.args) {
    if (const auto* text = std::get_if<std::string>(&argument)) {
      bounded.args.emplace_back(name, Basalt::QuoteClientText(*text));
    } else {
      bounded.args.emplace_back(name, argument);
    }
  }
  return bounded;
}

}  // namespace

std::string FrameworkMessageTemplate(const std::string& id) {
  auto it = FrameworkTable().find(id);
  return it == FrameworkTable().end() ? std::string() : it->second;
}

std::string DefaultArgumentFormatter(const Argument& argument, const std::string&) {
  if (const auto* text = std::get_if<std::string>(&argument)) return *text;
  return std::to_string(std::get<int64_t>(argument));
}

std::string FillTemplate(std::string_view pattern, const Message& message,
                         const ArgumentFormatter& formatter, const std::string& locale) {
  std::string out;
  out.reserve(pattern.size());
  size_t pos = 0;
  while (pos < pattern.size()) {
    size_t open = pattern.find('{', pos);
    size_t close = open == std::string_view::npos ? open : pattern.find('}', open);
    if (close == std::string_view::npos) {
      out.append(pattern.substr(pos));
      break;
    }
    out.append(pattern.substr(pos, open - pos));
    std::string_view name = pattern.substr(open + 1, close - open - 1);
    const Argument* value = nullptr;
    for (const auto& [argName, argValue] : message.args) {
      if (argName == name) value = &argValue;
    }
    if (value) {
      out += formatter(*value, locale);
    } else {
      out.append(pattern.substr(open, close - open + 1));
    }
    pos = close + 1;
  }
  return out;
}

Localizer::Localizer(std::vector<std::string> locales, TemplateGetter getter,
                     ArgumentFormatter formatter)
    : locales_(std::move(locales)), getter_(std::move(getter)), formatter_(std::move(formatter)) {
  if (locales_.empty()) locales_.emplace_back("en_US");
}

std::shared_ptr<const Localizer> Localizer::Default() {
  static const auto instance = std::make_shared<const Localizer>(
      std::vector<std::string>{"en_US"}, [](const std::string& id) {
        std::string text = FrameworkMessageTemplate(id);
        return text.empty() ? std::string("Unknown message.") : text;
      });
  return instance;
}

std::string Localizer::Format(const Message& message) const {
  return FillTemplate(getter_(message.id), Bounded(message), formatter_, locales_.front());
}

Basalt::Service::LogReadyText Localizer::FormatForLog(const Message& message) const {
  auto escaped = [this](const Argument& argument, const std::string& locale) {
    return Basalt::Service::LogArgument(formatter_(argument, locale));
  };
  return {FillTemplate(getter_(message.id), Bounded(message), escaped, locales_.front())};
}

Data::ValuePtr Localizer::ToValue(const Message& original) const {
  auto value = Data::StructValue::GetInstance(Ids::kLocalizableMessage);
  Message message = Bounded(original);
  std::string text = FillTemplate(getter_(message.id), message, formatter_, locales_.front());
  value->SetField("id", Data::StringValue::Create(message.id));
  value->SetField("default_message", Data::StringValue::Create(text));
  auto params = Data::StructValue::GetInstance("");
  for (const auto& [name, argument] : message.args) {
    if (const auto* textArg = std::get_if<std::string>(&argument)) {
      params->SetField(name, Data::StringValue::Create(*textArg));
    } else {
      params->SetField(name, Data::IntegerValue::Create(std::get<int64_t>(argument)));
    }
  }
  value->SetField("params", params);
  value->SetField("localized", Data::StringValue::Create(text));
  return value;
}

}  // namespace Orbi::L10n
