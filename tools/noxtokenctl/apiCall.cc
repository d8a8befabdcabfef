#include "tools/noxtokenctl/apiCall.h"

#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

constexpr const char* kCleanJson = "application/vnd.tessel.orbi.cleanjson";
constexpr size_t kMaxQuotedBody = 200;

JsonPtr StringMap(const std::vector<std::pair<std::string, std::string>>& members) {
  JsonPtr object(json_object());
  for (const auto& [name, value] : members) {
    json_object_set_new(object.get(), name.c_str(), json_stringn(value.data(), value.size()));
  }
  return object;
}

[[noreturn]] void Refuse(const std::string& what) { throw CtlError(ExitCode::kProtocol, what); }

}  // namespace

std::string EncodeRequest(const ApiCall& call) {
  JsonPtr params(json_object());
  json_object_set_new(params.get(), "serviceId", json_string(call.service.c_str()));
  json_object_set_new(params.get(), "operationId", json_string(call.operation.c_str()));
  JsonPtr ctx(json_object());
  if (!call.securityCtx.empty()) {
    json_object_set_new(ctx.get(), "securityCtx", StringMap(call.securityCtx).release());
  }
  if (!call.opId.empty()) {
    json_object_set_new(ctx.get(), "appCtx", StringMap({{"opId", call.opId}}).release());
  }
  if (json_object_size(ctx.get()) > 0) json_object_set_new(params.get(), "ctx", ctx.release());
  json_object_set_new(params.get(), "input",
                      call.input ? json_incref(call.input.get()) : json_object());
  JsonPtr request(json_object());
  json_object_set_new(request.get(), "jsonrpc", json_string("2.0"));
  json_object_set_new(request.get(), "id", json_string("1"));
  json_object_set_new(request.get(), "method", json_string("invoke"));
  json_object_set_new(request.get(), "params", params.release());
  return Orbi::Json::Dump(*request);
}

ApiResult DecodeAnswer(const HttpAnswer& answer) {
  if (answer.status != 200) {
    Refuse("HTTP status " + std::to_string(answer.status) + ": " +
           answer.body.substr(0, kMaxQuotedBody));
  }
  json_error_t parseError;
  JsonPtr document(json_loadb(answer.body.data(), answer.body.size(), 0, &parseError));
  if (!document || !json_is_object(document.get())) {
    Refuse("the answer is not a JSON object: " + answer.body.substr(0, kMaxQuotedBody));
  }
  if (const json_t* error = json_object_get(document.get(), "error"); error != nullptr) {
    const json_t* code = json_object_get(error, "code");
    const json_t* message = json_object_get(error, "message");
    Refuse("JSON-RPC error " + std::to_string(json_integer_value(code)) + ": " +
           (json_is_string(message) ? json_string_value(message) : "(no message)"));
  }
  const json_t* result = json_object_get(document.get(), "result");
  ApiResult decoded;
  const json_t* value = nullptr;
  if (json_is_object(result)) {
    value = json_object_get(result, "output");
    if (value == nullptr) {
      value = json_object_get(result, "error");
      decoded.isError = value != nullptr;
    }
  }
  if (value == nullptr || (decoded.isError && !json_is_object(value))) {
    Refuse("the answer holds neither an output nor an error: " +
           answer.body.substr(0, kMaxQuotedBody));
  }
  decoded.value = JsonPtr(json_incref(const_cast<json_t*>(value)));
  return decoded;
}

ApiResult Invoke(const HttpEndpoint& endpoint, const ApiCall& call) {
  return DecodeAnswer(PostJson(endpoint, EncodeRequest(call), kCleanJson));
}

}  // namespace NoxCtl
