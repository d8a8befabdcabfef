// Feeds arbitrary bytes through the API request decoder, the canonical form of the input, input
// checking against a declaration with nested structures, lists and optionals, and both answer
// encodings; the quick reader's trees and the writer's text are compared with Jansson's.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/orbi/canonicalJson.h"
#include "platform/orbi/json.h"
#include "platform/orbi/jsonQuickReader.h"
#include "platform/orbi/jsonRpc.h"
#include "platform/orbi/testing/janssonText.h"
#include "platform/orbi/types.h"

namespace {

const Orbi::Bind::OperationDef& Operation() {
  using Orbi::Bind::Type;
  static const auto grant = Orbi::Bind::MakeStruct(
      "f.svc", "grant",
      {{"resource_type", Type::String()}, {"entitlement", Type::Optional(Type::String())}});
  static const auto spec = Orbi::Bind::MakeStruct("f.svc", "spec",
                                                  {{"name", Type::Optional(Type::String())},
                                                   {"count", Type::Integer()},
                                                   {"flag", Type::Optional(Type::Boolean())},
                                                   {"grants", Type::List(Type::Struct(grant))}});
  static const Orbi::Bind::OperationDef op{
      "create", {{"spec", Type::Struct(spec)}}, Type::Struct(spec)};
  return op;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Orbi::Protocol::Json::JsonApiRequestDeserializer deserializer;
  Orbi::Protocol::Json::JsonApiResponseSerializer standard;
  Orbi::Protocol::Json::JsonApiDirectResponseSerializer clean;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Requests are read by the quick reader when they can be: Jansson must read the same tree.
  if (auto quick = Orbi::Json::ReadPlainJson(text)) {
    Orbi::Json::JsonPtr jansson(
        json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES | JSON_DECODE_ANY, nullptr));
    if (!jansson || Orbi::Json::Dump(*quick) != Orbi::Json::Dump(*jansson)) __builtin_trap();
  }
  // The usual shape, read straight from the text, must read as the tree reads it.
  namespace Detail = Orbi::Protocol::Json::Detail;
  if (auto usual = Detail::ReadUsualRequest(text)) {
    auto full = Detail::ReadRequestByTree(text);
    if (!full || Orbi::Json::Dump(*usual->id) != Orbi::Json::Dump(*full->id) ||
        usual->method.ToString() != full->method.ToString() ||
        Orbi::Json::ToText(*usual->input, Orbi::Json::Encoding::kStandard) !=
            Orbi::Json::ToText(*full->input, Orbi::Json::Encoding::kStandard) ||
        usual->context->securityCtx != full->context->securityCtx ||
        usual->context->appCtx != full->context->appCtx) {
      __builtin_trap();
    }
  }
  auto decoded = deserializer.Deserialize(text);
  if (!decoded) {
    standard.SerializeProtocolError(decoded.error());
    return 0;
  }
  auto& request = *decoded;
  // What a holder-of-key proof covers: the canonical form of whatever input arrives.
  if (request.input) {
    auto tree = Orbi::Json::ToJson(*request.input, Orbi::Json::Encoding::kClean);
    (void)Orbi::Json::Canonicalize(*tree);
    // Answers are written without Jansson: they must read as Jansson would have written them.
    if (Orbi::Json::ToText(*request.input, Orbi::Json::Encoding::kClean) !=
        Orbi::Testing::JanssonText(*tree)) {
      __builtin_trap();
    }
  }
  auto params = Orbi::Bind::BindInput(Operation(), request.input);
  Orbi::Core::MethodResult result = Orbi::Core::MethodResult::Output(request.input);
  if (params) {
    auto output = Orbi::Bind::CompleteOutput(*Operation().result, (*params)->GetField("spec"));
    if (output) result = Orbi::Core::MethodResult::Output(*output);
  }
  standard.SerializeResult(*request.id, result);
  clean.SerializeResult(*request.id, result);
  return 0;
}
