#include "platform/orbi/jsonRpc.h"

#include <optional>

#include "platform/orbi/jsonBounds.h"
#include "platform/orbi/jsonQuickReader.h"

namespace Orbi::Protocol::Json {

namespace {

Basalt::Unexpected<ProtocolError> Invalid(std::string message, const json_t* id) {
  return {{kInvalidRequest, std::move(message),
           JsonPtr(id ? json_incref(const_cast<json_t*>(id)) : json_null())}};
}

// Reads an optional object of string members into `out`; false when it is of another shape.
bool ReadStringMap(const json_t* object, Core::StringMap& out) {
  if (!object || json_is_null(object)) return true;
  if (!json_is_object(object)) return false;
  const char* key;
  json_t* value;
  json_object_foreach(const_cast<json_t*>(object), key, value) {
    if (!json_is_string(value)) return false;
    out[key] = std::string(json_string_value(value), json_string_length(value));
  }
  return true;
}

const json_t* Member(const json_t* object, const char* name) {
  return json_object_get(object, name);
}

// Moves past an object nested `depth` deep, handing each member's name to `readMember`, which
// moves past its value.
template <class ReadMember>
bool Members(Orbi::Json::PlainCursor& in, int depth, ReadMember readMember) {
  if (!in.OpenObject(depth)) return false;
  if (in.Take('}')) return true;
  do {
    std::string_view name;
    if (!in.String(name) || !in.Take(':') || !readMember(name)) return false;
  } while (in.Take(','));
  return in.Take('}');
}

// An object of string members; false on a duplicate, which the full reading refuses. Values may
// hold escapes (a SAML assertion is XML text full of quotes and line breaks).
bool StringMembers(Orbi::Json::PlainCursor& in, Core::StringMap& out) {
  std::string decoded;
  return Members(in, 4, [&](std::string_view name) {
    std::string_view value;
    return in.DecodedString(decoded, value) && out.emplace(name, value).second;
  });
}

}  // namespace

namespace Detail {

std::optional<ApiRequest> ReadUsualRequest(std::string_view frame) {
  enum Member : unsigned {
    kVersion = 1 << 0,
    kId = 1 << 1,
    kMethod = 1 << 2,
    kParams = 1 << 3,
    kService = 1 << 4,
    kOperation = 1 << 5,
    kInput = 1 << 6,
    kCtx = 1 << 7,
    kSecurity = 1 << 8,
    kApp = 1 << 9,
  };
  Orbi::Json::PlainCursor in(frame, Orbi::Json::kRequestBounds);
  unsigned seen = 0;
  auto first = [&seen](Member member) {
    if (seen & member) return false;
    seen |= member;
    return true;
  };
  std::string_view version, method, service, operation;
  JsonPtr id, input;
  auto context = std::make_shared<Core::ExecutionContext>();
  auto readCtx = [&](std::string_view name) {
    if (name == "securityCtx") return first(kSecurity) && StringMembers(in, context->securityCtx);
    if (name == "appCtx") return first(kApp) && StringMembers(in, context->appCtx);
    return false;
  };
  auto readParams = [&](std::string_view name) {
    if (name == "serviceId") return first(kService) && in.String(service);
    if (name == "operationId") return first(kOperation) && in.String(operation);
    if (name == "input") return first(kInput) && (input = in.Value(2)) != nullptr;
    if (name == "ctx") return first(kCtx) && Members(in, 3, readCtx);
    return false;
  };
  auto readRoot = [&](std::string_view name) {
    if (name == "jsonrpc") return first(kVersion) && in.String(version);
    if (name == "id") return first(kId) && (id = in.Value(1)) != nullptr;
    if (name == "method") return first(kMethod) && in.String(method);
    if (name == "params") return first(kParams) && Members(in, 2, readParams);
    return false;
  };
  constexpr unsigned kRequired = kVersion | kId | kMethod | kParams | kService | kOperation;
  if (!Members(in, 1, readRoot) || !in.AtEnd() || (seen & kRequired) != kRequired ||
      version != "2.0" || method != "invoke" ||
      !(json_is_string(id.get()) || json_is_integer(id.get()))) {
    return std::nullopt;
  }
  // No input, null and {} are all the empty structure, which most calls send.
  Data::ValuePtr value;
  if (input && !json_is_null(input.get()) &&
      !(json_is_object(input.get()) && json_object_size(input.get()) == 0)) {
    auto decoded = Orbi::Json::FromJson(*input);
    if (!decoded) return std::nullopt;
    value = std::move(*decoded);
  } else {
    value = Data::StructValue::GetInstance("");
  }
  return ApiRequest{std::move(id),
                    {std::string(service), std::string(operation)},
                    std::move(value),
                    std::move(context)};
}

namespace {
// Jansson's text quotes the request "near" the fault, which may be a password or a token: the
// answer names the fault and its byte offset instead.
std::string ParseErrorText(const json_error_t& error) {
  std::string_view text = error.text;
  text = text.substr(0, text.find(" near "));
  return "Parse error: " + std::string(text) + " at byte " + std::to_string(error.position);
}
}  // namespace

Basalt::Result<ApiRequest, ProtocolError> ReadRequestByTree(std::string_view frame) {
  if (std::string bound = Orbi::Json::CheckBounds(frame, Orbi::Json::kRequestBounds);
      !bound.empty()) {
    return Invalid("Invalid request: " + bound, nullptr);
  }
  JsonPtr root = Orbi::Json::ReadPlainJson(frame);
  if (!root) {
    json_error_t parseError;
    root.reset(json_loadb(frame.data(), frame.size(), JSON_REJECT_DUPLICATES | JSON_DECODE_ANY,
                          &parseError));
    if (!root) {
      return Basalt::Unexpected{
          ProtocolError{kParseError, ParseErrorText(parseError), JsonPtr(json_null())}};
    }
  }
  if (!json_is_object(root.get())) return Invalid("Invalid request: not an object", nullptr);

  const json_t* id = Member(root.get(), "id");
  if (!id || !(json_is_string(id) || json_is_integer(id))) {
    return Invalid("Invalid request: \"id\" must be a string or an integer", nullptr);
  }
  const json_t* version = Member(root.get(), "jsonrpc");
  if (!json_is_string(version) || std::string_view(json_string_value(version)) != "2.0") {
    return Invalid("Invalid request: \"jsonrpc\" must be \"2.0\"", id);
  }
  const json_t* method = Member(root.get(), "method");
  if (!json_is_string(method)) return Invalid("Invalid request: \"method\" must be a string", id);
  if (std::string_view(json_string_value(method)) != "invoke") {
    return Basalt::Unexpected{ProtocolError{kMethodNotFound, "Method not found",
                                            JsonPtr(json_incref(const_cast<json_t*>(id)))}};
  }
  const json_t* params = Member(root.get(), "params");
  if (!json_is_object(params)) return Invalid("Invalid request: \"params\" must be an object", id);

  const json_t* serviceId = Member(params, "serviceId");
  const json_t* operationId = Member(params, "operationId");
  if (!json_is_string(serviceId) || !json_is_string(operationId)) {
    return Invalid("Invalid request: \"serviceId\" and \"operationId\" must be strings", id);
  }

  auto context = std::make_shared<Core::ExecutionContext>();
  const json_t* ctx = Member(params, "ctx");
  if (ctx && !json_is_null(ctx) && !json_is_object(ctx)) {
    return Invalid("Invalid request: \"ctx\" must be an object", id);
  }
  if (ctx && json_is_object(ctx)) {
    if (!ReadStringMap(Member(ctx, "securityCtx"), context->securityCtx) ||
        !ReadStringMap(Member(ctx, "appCtx"), context->appCtx)) {
      return Invalid("Invalid request: \"securityCtx\" and \"appCtx\" must map strings to strings",
                     id);
    }
  }

  Data::ValuePtr input = Data::StructValue::GetInstance("");
  if (const json_t* inputJson = Member(params, "input"); inputJson && !json_is_null(inputJson)) {
    auto decoded = Orbi::Json::FromJson(*inputJson);
    if (!decoded) return Invalid("Invalid request: input " + decoded.error(), id);
    input = std::move(*decoded);
  }

  return ApiRequest{JsonPtr(json_incref(const_cast<json_t*>(id))),
                    {json_string_value(serviceId), json_string_value(operationId)},
                    std::move(input),
                    std::move(context)};
}

}  // namespace Detail

Basalt::Result<ApiRequest, ProtocolError> JsonApiRequestDeserializer::Deserialize(
    std::string_view frame) const {
  if (auto request = Detail::ReadUsualRequest(frame)) return std::move(*request);
  return Detail::ReadRequestByTree(frame);
}

// Written straight from the values: an answer is built once per call, and a Jansson tree of it
// cost more than the call's own work.
std::string ResponseSerializer::SerializeResult(const json_t& id,
                                                const Core::MethodResult& result) const {
  std::string out;
  // Room for an issued token and its envelope, taken before the first text, which is already
  // too long to be held inline.
  out.reserve(512);
  out += "{\"jsonrpc\":\"2.0\",\"id\":";
  Orbi::Json::WriteJson(out, id);
  if (result.HasError()) {
    out += ",\"result\":{\"error\":";
    Orbi::Json::WriteValue(out, *result.error, encoding_);
  } else {
    out += ",\"result\":{\"output\":";
    if (result.output) {
      Orbi::Json::WriteValue(out, *result.output, encoding_);
    } else {
      out += "null";
    }
  }
  out += "}}";
  return out;
}

std::string ResponseSerializer::SerializeProtocolError(const ProtocolError& error) const {
  std::string out = "{\"jsonrpc\":\"2.0\",\"id\":";
  if (error.id) {
    Orbi::Json::WriteJson(out, *error.id);
  } else {
    out += "null";
  }
  out += ",\"error\":{\"code\":" + std::to_string(error.code) + ",\"message\":";
  Orbi::Json::WriteString(out, error.message);
  out += "}}";
  return out;
}

}  // namespace Orbi::Protocol::Json
