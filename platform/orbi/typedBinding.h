// One typed declaration per service: each operation names the interface's member function and
// the wire names of its parameters, and the declaration yields the service definition (input
// checking, introspection), the decoding of parameters into the service's C++ types, the
// encoding of results and the dispatch with a Reply built around the call's result callback.
//
//   const Orbi::Bind::ServiceDecl<AsyncServiceInterface>& DeclareService(AsyncServiceInterface*) {
//     static const Orbi::Bind::ServiceDecl<AsyncServiceInterface> decl(
//         kServiceId, Orbi::Bind::Operation("get", &AsyncServiceInterface::Get, "profile")
//                         .Admitting(Orbi::Bind::Admission::kManagement));
//     return decl;
//   }
//
// `DeclareService` is found by argument-dependent lookup, so it lives in the interface's
// namespace; `ServiceBinder<I>` then gives the service's definition and binds implementations.
//
// A member function has the shape `void Op(Core::ExecutionContextPtr, Args..., Reply<R>)`; each
// Arg and R needs a codec (platform/orbi/codec.h). A wrong number of wire names does not
// compile; an operation or parameter named twice or empty throws Basalt::Exception at
// construction. Keep a declaration as a function-local static: interfaces bound from it refer
// to its definition for the life of the process. Immutable once built, so thread-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/orbi/codec.h"
#include "platform/orbi/localProvider.h"
#include "platform/orbi/reply.h"

namespace Orbi::Bind {

using LocalizerPtr = std::shared_ptr<const L10n::Localizer>;

namespace Detail {

template <class T>
struct ReplyTraits;
template <class R>
struct ReplyTraits<Reply<R>> {
  using Result = R;
};

// The decayed parameter types between the context and the Reply.
template <class Params, class Indices>
struct Arguments;
template <class Params, size_t... Is>
struct Arguments<Params, std::index_sequence<Is...>> {
  using Type = std::tuple<std::decay_t<std::tuple_element_t<Is + 1, Params>>...>;
};

template <class R>
TypePtr ResultType() {
  if constexpr (std::is_void_v<R>) {
    return Type::Void();
  } else {
    return Codec<R>::WireType();
  }
}

// The Reply of one call: answers encode the value, failures are rendered by `localizer`.
template <class R>
Reply<R> MakeReply(const Core::AsyncApiResultCb& cb, const LocalizerPtr& localizer) {
  auto onError = [cb, localizer](const Std::StdError& error) {
    Provider::Fail(cb, error, localizer.get());
  };
  if constexpr (std::is_void_v<R>) {
    return Reply<void>([cb] { Provider::Answer(cb, nullptr); }, onError, localizer);
  } else {
    return Reply<R>([cb](R value) { Provider::Answer(cb, Codec<R>::Encode(value)); }, onError,
                    localizer);
  }
}

}  // namespace Detail

// One operation of interface I, typed by its member function.
template <class I>
struct OperationDecl {
  OperationDef def;
  // The handler of this operation over one implementation.
  std::function<Provider::OperationHandler(std::shared_ptr<I>, LocalizerPtr)> bind;

  // The same operation, admitting its callers as `admission` says; without it none is admitted.
  OperationDecl Admitting(Admission admission) && {
    def.admission = admission;
    return std::move(*this);
  }
};

template <class I, class... P, class... Names>
OperationDecl<I> Operation(std::string name, void (I::*method)(P...), Names... paramNames) {
  using Params = std::tuple<P...>;
  static_assert(sizeof...(P) >= 2, "an operation takes the context, its parameters and a Reply");
  static_assert(std::is_same_v<std::tuple_element_t<0, Params>, Core::ExecutionContextPtr>,
                "an operation's first parameter is the execution context");
  constexpr size_t kArity = sizeof...(P) - 2;
  static_assert(sizeof...(Names) == kArity, "one wire name per parameter");
  using ReplyType = std::decay_t<std::tuple_element_t<kArity + 1, Params>>;
  using R = typename Detail::ReplyTraits<ReplyType>::Result;

  std::vector<std::string> names{std::string(paramNames)...};
  using Decoded = typename Detail::Arguments<Params, std::make_index_sequence<kArity>>::Type;

  OperationDef def{std::move(name), {}, Detail::ResultType<R>()};
  [&]<size_t... Is>(std::index_sequence<Is...>) {
    (def.params.emplace_back(names[Is], Codec<std::tuple_element_t<Is, Decoded>>::WireType()), ...);
  }
  (std::make_index_sequence<kArity>());

  auto bind = [method, names](std::shared_ptr<I> impl,
                              LocalizerPtr localizer) -> Provider::OperationHandler {
    return [method, names, impl, localizer](std::shared_ptr<const Data::StructValue> params,
                                            Core::ExecutionContextPtr context,
                                            Core::AsyncApiResultCb cb) {
      [&]<size_t... Is>(std::index_sequence<Is...>) {
        Decoded args{
            Codec<std::tuple_element_t<Is, Decoded>>::Decode(params->GetField(names[Is]))...};
        ((*impl).*method)(std::move(context), std::move(std::get<Is>(args))...,
                          Detail::MakeReply<R>(cb, localizer));
      }
      (std::make_index_sequence<kArity>());
    };
  };
  return {std::move(def), std::move(bind)};
}

// The declaration of service I: its id and its operations in slot order.
template <class I>
class ServiceDecl {
 public:
  template <class... Ops>
  explicit ServiceDecl(std::string id, OperationDecl<I> first, Ops... rest)
      : def_{std::move(id), {}} {
    std::set<std::string> names;
    for (auto& op : std::vector<OperationDecl<I>>{std::move(first), std::move(rest)...}) {
      CheckNames(op.def, names);
      def_.operations.push_back(std::move(op.def));
      binders_.push_back(std::move(op.bind));
    }
  }

  const ServiceDef& Definition() const { return def_; }

  // The interface to add to a local provider; failures are rendered by `localizer` (the
  // framework's default when null).
  Provider::InterfacePtr Bind(std::shared_ptr<I> impl, LocalizerPtr localizer = nullptr) const {
    if (!impl) throw Basalt::Exception("binding: " + def_.id + " has no implementation");
    std::map<std::string, Provider::OperationHandler> handlers;
    for (size_t i = 0; i < binders_.size(); ++i) {
      handlers.emplace(def_.operations[i].name, binders_[i](impl, localizer));
    }
    return std::make_shared<Provider::BoundInterface>(def_, std::move(handlers));
  }

 private:
  void CheckNames(const OperationDef& op, std::set<std::string>& operations) const {
    if (op.name.empty() || !operations.insert(op.name).second) {
      throw Basalt::Exception("binding: " + def_.id + " declares the operation \"" + op.name +
                              "\" twice or empty");
    }
    std::set<std::string> params;
    for (const auto& [param, type] : op.params) {
      if (param.empty() || !params.insert(param).second) {
        throw Basalt::Exception("binding: " + def_.id + "." + op.name +
                                " declares the parameter \"" + param + "\" twice or empty");
      }
    }
  }

  ServiceDef def_;
  std::vector<std::function<Provider::OperationHandler(std::shared_ptr<I>, LocalizerPtr)>> binders_;
};

// The definition of service I and the binding of its implementations, both from the one
// declaration `DeclareService(I*)`; clients build their input from it too.
template <class I>
struct ServiceBinder {
  static const ServiceDef& Definition() {
    return DeclareService(static_cast<I*>(nullptr)).Definition();
  }
  // Failures are rendered by `localizer` (the framework's default when null).
  static Provider::InterfacePtr BindImplementation(std::shared_ptr<I> impl,
                                                   LocalizerPtr localizer = nullptr) {
    return DeclareService(static_cast<I*>(nullptr)).Bind(std::move(impl), std::move(localizer));
  }
  // The input of `operation`: each argument encoded by its codec under the wire name the
  // declaration gives the parameter in its place. Throws Basalt::Exception for an operation the
  // service does not declare or a wrong number of arguments.
  template <class... A>
  static std::shared_ptr<Data::StructValue> Input(std::string_view operation, const A&... args) {
    for (const auto& op : Definition().operations) {
      if (op.name != operation) continue;
      if (op.params.size() != sizeof...(A)) break;
      auto input = Data::StructValue::GetInstance("");
      size_t at = 0;
      (input->AppendField(op.params[at++].first, Codec<A>::Encode(args)), ...);
      return input;
    }
    throw Basalt::Exception("binding: " + Definition().id + " declares no operation \"" +
                            std::string(operation) + "\" taking " + std::to_string(sizeof...(A)) +
                            " parameters");
  }
};

}  // namespace Orbi::Bind
