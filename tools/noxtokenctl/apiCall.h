// One operation call over the daemon's JSON-RPC endpoint, in the clean encoding.
#pragma once

#include <jansson.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/orbi/json.h"
#include "tools/noxtokenctl/httpClient.h"

namespace NoxCtl {

using Orbi::Json::JsonPtr;

struct ApiCall {
  std::string service;
  std::string operation;
  JsonPtr input;                                                 // an object; null means {}
  std::vector<std::pair<std::string, std::string>> securityCtx;  // empty: no credential
  std::string opId;                                              // empty: none sent
};

struct ApiResult {
  bool isError = false;  // value is then the API error value, else the operation's output
  JsonPtr value;
};

// The request envelope as sent, exposed for tests of its shape.
std::string EncodeRequest(const ApiCall& call);

// Reads an HTTP answer of the endpoint. Throws CtlError(kProtocol) for a status other than 200,
// a body that is not JSON, a top-level JSON-RPC error (with its code and message) and a result
// that holds neither "output" nor "error".
ApiResult DecodeAnswer(const HttpAnswer& answer);

// Sends the call and decodes the answer; throws as PostJson and DecodeAnswer do.
ApiResult Invoke(const HttpEndpoint& endpoint, const ApiCall& call);

}  // namespace NoxCtl
