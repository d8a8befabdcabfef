#include "apps/zeph-services/common/opIdProvider.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "platform/basalt/secretText.h"
#include "platform/basalt/uuid.h"
#include "platform/orbi/frameworkIds.h"

namespace Zeph::Common::BasaltOrbi {

const char* const kLogContextOpId = "opID";
const char* const kAppContextOpId = "opId";

namespace {

// A random UUID's text, or the process id when no random bytes can be had.
void AppendUniquePart(std::string& out) {
  unsigned char uuid[16];
  if (UUID_CreateRandom(uuid)) {
    UUID_AppendText(uuid, out);
    return;
  }
  out += std::to_string(static_cast<int>(getpid()));
}

bool IsSecretField(const std::string& name) {
  static const std::array<std::string_view, 5> kSecretFields = {
      "token", Orbi::Security::kAccessTokenKey, Orbi::Security::kPasswordKey,
      Orbi::Security::kSamlHokTokenKey, Orbi::Security::kSignatureValueKey};
  return std::find(kSecretFields.begin(), kSecretFields.end(), name) != kSecretFields.end();
}

// The value itself, or a copy whose secret-named string fields are shortened.
Orbi::Data::ValuePtr WithoutSecrets(const Orbi::Data::ValuePtr& value) {
  if (auto list = Orbi::Data::As<Orbi::Data::ListValue>(value)) {
    std::vector<Orbi::Data::ValuePtr> items;
    bool changed = false;
    for (const auto& item : list->GetItems()) {
      items.push_back(WithoutSecrets(item));
      changed = changed || items.back() != item;
    }
    return changed ? Orbi::Data::ListValue::Create(std::move(items)) : value;
  }
  auto structure = Orbi::Data::As<Orbi::Data::StructValue>(value);
  if (!structure || value->GetKind() != Orbi::Data::DataValue::Kind::Struct) return value;
  auto copy = Orbi::Data::StructValue::GetInstance(structure->GetName());
  bool changed = false;
  for (const auto& [name, field] : structure->GetFields()) {
    auto text = Orbi::Data::As<Orbi::Data::StringValue>(field);
    auto shown =
        text && IsSecretField(name)
            ? Orbi::Data::StringValue::Create(Basalt::Service::ShortenedSecret(text->GetValue()))
            : WithoutSecrets(field);
    changed = changed || shown != field;
    copy->AppendField(name, std::move(shown));
  }
  return changed ? copy : value;
}

}  // namespace

std::string TextWithoutSecrets(const Orbi::Data::ValuePtr& value) {
  return value ? WithoutSecrets(value)->ToString() : std::string("null");
}

// "<operation>-<unique part>-<sequence number>", each id numbered by a sequence of its own, so
// always 0; built in one string, as every call makes one.
std::string GenerateOperationId(const std::string& methodText) {
  std::string_view operation = methodText;
  size_t dot = methodText.rfind('.');
  if (dot != std::string::npos && methodText.size() - dot - 1 >= 2) {
    operation = operation.substr(dot + 1);
  }
  std::string id;
  id.reserve(operation.size() + 40);
  id.append(operation);
  id += '-';
  AppendUniquePart(id);
  id += "-0";
  return id;
}

ResultLogger::ResultLogger(Orbi::Core::AsyncApiResultCb callback, std::string methodText,
                           std::shared_ptr<Basalt::Service::Logger> logger,
                           std::shared_ptr<const CallObserver> observer, CallTicket ticket)
    : callback_(std::move(callback)),
      methodText_(std::move(methodText)),
      logger_(std::move(logger)),
      observer_(std::move(observer)),
      ticket_(ticket) {}

void ResultLogger::operator()(std::optional<Orbi::Core::MethodResult> result,
                              std::optional<Orbi::Core::Progress> progress,
                              Orbi::Core::Continuation continuation) {
  if (!callback_) return;
  if (!result) {
    if (logger_->IsEnabled(6)) {
      Orbi::Core::Progress p = progress.value_or(Orbi::Core::Progress{});
      logger_->Log(6, "MethodResult: (null), Progress: {%1, %2, %3}", p.done, p.total, p.stage);
    }
    callback_(std::move(result), progress, std::move(continuation));
    return;
  }
  if (result->HasError()) {
    logger_->Log(3, "MethodResult [FAIL] (MethodId:%1),%2", methodText_, result->error->ToString());
  } else if (logger_->IsEnabled(6)) {
    logger_->Log(6, "MethodResult: %1", TextWithoutSecrets(result->output));
  }
  if (observer_) observer_->OnResult(ticket_, *result);
  auto callback = std::move(callback_);
  callback_ = nullptr;
  callback(std::move(result), progress, std::move(continuation));
}

OpIdProvider::OpIdProvider(Orbi::Core::ProviderPtr next,
                           std::shared_ptr<Basalt::Service::Logger> logger,
                           std::shared_ptr<const CallObserver> observer)
    : next_(std::move(next)), logger_(std::move(logger)), observer_(std::move(observer)) {}

void OpIdProvider::Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr input,
                          Orbi::Core::ExecutionContextPtr context,
                          Orbi::Core::AsyncApiResultCb resultCb) {
  std::string methodText = method.ToString();
  const std::string* clientOpId = context->FindApp(kAppContextOpId);
  std::string opId = clientOpId ? *clientOpId : GenerateOperationId(methodText);

  Basalt::Service::ScopedLogContext logContext(kLogContextOpId, opId);
  if (logger_->IsEnabled(5)) {
    logger_->Log(5, "Invoke-MethodId: %1", methodText);
    if (logger_->IsEnabled(6)) {
      logger_->Log(6, "Invoke-Input: %1", TextWithoutSecrets(input));
    }
  }
  CallTicket ticket = observer_ ? observer_->OnCall(method) : CallTicket{};
  // The callback may run on another thread later; its copies share the one logger.
  next_->Invoke(method, std::move(input), std::move(context),
                Orbi::Core::AsyncApiResultCb::Make<ResultLogger>(
                    std::move(resultCb), std::move(methodText), logger_, observer_, ticket));
}

}  // namespace Zeph::Common::BasaltOrbi
