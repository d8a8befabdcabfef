// The JSON-RPC 2.0 envelope of API calls: the request deserializer and the two secure response
// serializers (standard with "_type", clean without).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/basalt/result.h"
#include "platform/orbi/json.h"
#include "platform/orbi/provider.h"

namespace Orbi::Protocol::Json {

using Orbi::Json::JsonPtr;

inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;

struct ApiRequest {
  JsonPtr id;
  Core::MethodIdentifier method;
  Data::ValuePtr input;
  Core::ExecutionContextPtr context;
};

struct ProtocolError {
  int code;
  std::string message;
  JsonPtr id;  // null when it could not be read
};

class JsonApiRequestDeserializer {
 public:
  // The request, or the protocol error to answer instead.
  Basalt::Result<ApiRequest, ProtocolError> Deserialize(std::string_view frame) const;
};

// The two readings Deserialize tries in turn; apart for the checks that they read alike.
namespace Detail {

// A request of the usual shape read straight from its text: the envelope's members once each,
// nothing else beside them, names, ids and version plain (security and app context values may
// hold escapes), within the request's bounds (counted as it reads). Anything else is nullopt;
// whatever this accepts, ReadRequestByTree reads alike.
std::optional<ApiRequest> ReadUsualRequest(std::string_view frame);

// Any request through a JSON tree: accepts it, or refuses it with the message to answer.
Basalt::Result<ApiRequest, ProtocolError> ReadRequestByTree(std::string_view frame);

}  // namespace Detail

class ResponseSerializer {
 public:
  virtual ~ResponseSerializer() = default;
  std::string SerializeResult(const json_t& id, const Core::MethodResult& result) const;
  std::string SerializeProtocolError(const ProtocolError& error) const;

 protected:
  explicit ResponseSerializer(Orbi::Json::Encoding encoding) : encoding_(encoding) {}

 private:
  Orbi::Json::Encoding encoding_;
};

// Standard encoding: structures carry "_type".
class JsonApiResponseSerializer final : public ResponseSerializer {
 public:
  JsonApiResponseSerializer() : ResponseSerializer(Orbi::Json::Encoding::kStandard) {}
};

// Clean encoding: no "_type" members.
class JsonApiDirectResponseSerializer final : public ResponseSerializer {
 public:
  JsonApiDirectResponseSerializer() : ResponseSerializer(Orbi::Json::Encoding::kClean) {}
};

}  // namespace Orbi::Protocol::Json
