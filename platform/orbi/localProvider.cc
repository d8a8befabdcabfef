#include "platform/orbi/localProvider.h"

#include "platform/basalt/crypto/digest.h"
#include "platform/basalt/exception.h"
#include "platform/orbi/frameworkIds.h"

namespace Orbi::Provider {

BoundInterface::BoundInterface(std::shared_ptr<const Bind::ServiceDef> def,
                               std::map<std::string, OperationHandler> handlers)
    : def_(std::move(def)), handlers_(std::move(handlers)) {
  for (const auto& op : def_->operations) {
    if (!handlers_.count(op.name)) {
      throw Basalt::Exception("operation " + def_->id + "." + op.name + " has no implementation");
    }
  }
  for (const auto& [name, handler] : handlers_) {
    if (!def_->FindOperation(name)) {
      throw Basalt::Exception("implementation " + def_->id + "." + name + " has no operation");
    }
  }
}

const OperationHandler* BoundInterface::FindHandler(const std::string& operation) const {
  auto it = handlers_.find(operation);
  return it == handlers_.end() ? nullptr : &it->second;
}

AsyncLocalProvider::AsyncLocalProvider(Core::Enqueuer enqueuer,
                                       std::shared_ptr<InterfaceContainer> container)
    : enqueuer_(std::move(enqueuer)) {
  versions_.push_back(std::make_unique<const InterfaceMap>());
  current_.store(versions_.back().get(), std::memory_order_release);
  if (container) {
    for (const auto& bound : container->GetInterfaces()) AddInterface(bound);
  }
}

void AsyncLocalProvider::AddInterface(InterfacePtr bound) {
  std::lock_guard lock(mutex_);
  const std::string& id = bound->GetDef().id;
  if (Interfaces().count(id)) {
    throw Basalt::Exception(std::string(Ids::kInterfaceAlreadyRegistered) + ": " + id);
  }
  auto next = std::make_unique<InterfaceMap>(Interfaces());
  next->emplace(id, std::move(bound));
  versions_.push_back(std::move(next));
  current_.store(versions_.back().get(), std::memory_order_release);
  checksum_.clear();
}

InterfacePtr AsyncLocalProvider::Find(const std::string& id) const {
  const InterfaceMap& interfaces = Interfaces();
  auto it = interfaces.find(id);
  return it == interfaces.end() ? nullptr : it->second;
}

std::vector<std::string> AsyncLocalProvider::ListServices() const {
  std::vector<std::string> ids;
  for (const auto& [id, bound] : Interfaces()) ids.push_back(id);
  return ids;
}

std::shared_ptr<const Bind::ServiceDef> AsyncLocalProvider::FindService(
    const std::string& id) const {
  auto bound = Find(id);
  if (!bound) return nullptr;
  return std::shared_ptr<const Bind::ServiceDef>(bound, &bound->GetDef());
}

std::string AsyncLocalProvider::Checksum() const {
  // Computed on first use: start-up then touches no hashing code at all.
  std::lock_guard lock(mutex_);
  if (checksum_.empty()) checksum_ = ComputeChecksum();
  return checksum_;
}

std::string AsyncLocalProvider::ComputeChecksum() const {
  std::string text;
  for (const auto& [id, bound] : Interfaces()) {
    for (const auto& op : bound->GetDef().operations) {
      text += bound->GetDef().DescribeInput(op) + "->" + op.result->Describe() + "\n";
    }
  }
  return Basalt::Crypto::Sha256Hex(text);
}

void AsyncLocalProvider::Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
                                Core::ExecutionContextPtr context,
                                Core::AsyncApiResultCb resultCb) {
  resultCb = Core::CallOnce(std::move(resultCb));
  auto bound = Find(method.interfaceId);
  if (!bound) {
    Fail(resultCb,
         Std::OperationNotFound({{Ids::kServiceNotFound, {{"service", method.interfaceId}}}}));
    return;
  }
  const Bind::OperationDef* op = bound->GetDef().FindOperation(method.operationName);
  const OperationHandler* handler = bound->FindHandler(method.operationName);
  if (!op || !handler) {
    Fail(resultCb, Std::OperationNotFound(
                       {{Ids::kOperationNotFound,
                         {{"operation", method.operationName}, {"service", method.interfaceId}}}}));
    return;
  }
  auto checked = Bind::BindInput(*op, input);
  if (!checked) {
    const Bind::Mismatch& mismatch = checked.error();
    Fail(resultCb,
         Std::InvalidArgument(
             {{Ids::kInvalidInput, {{"path", mismatch.path}, {"reason", mismatch.reason}}}}));
    return;
  }
  auto params = std::move(*checked);
  // Outputs are completed against the declared result, so every encoding shows unset optionals.
  auto resultType = op->result;
  auto completing = [resultCb = std::move(resultCb), resultType](
                        std::optional<Core::MethodResult> result,
                        std::optional<Core::Progress> progress, Core::Continuation continuation) {
    if (result && !result->HasError()) {
      auto output = Bind::CompleteOutput(*resultType, result->output);
      if (!output) {
        Fail(resultCb, Std::InternalServerError({{Ids::kInternal, {{"reason", output.error()}}}}));
        return;
      }
      result->output = std::move(*output);
    }
    resultCb(std::move(result), progress, std::move(continuation));
  };
  enqueuer_([bound = std::move(bound), handler, params = std::move(params),
             context = std::move(context), completing = std::move(completing)]() {
    try {
      (*handler)(params, context, completing);
    } catch (const std::exception& e) {
      // An implementation that throws still answers its caller exactly once.
      Fail(completing, Std::InternalServerError({{Ids::kInternal, {{"reason", e.what()}}}}));
    }
  });
}

void Answer(const Core::AsyncApiResultCb& resultCb, Data::ValuePtr output) {
  resultCb(Core::MethodResult::Output(output ? std::move(output) : Data::VoidValue::Get()),
           std::nullopt, nullptr);
}

void Fail(const Core::AsyncApiResultCb& resultCb, const Std::StdError& error,
          const L10n::Localizer* localizer) {
  auto value = localizer ? error.ToErrorValue(*localizer) : error.ToErrorValue();
  resultCb(Core::MethodResult::Failure(std::move(value)), std::nullopt, nullptr);
}

}  // namespace Orbi::Provider
