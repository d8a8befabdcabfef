// The endpoint's request handler: accepts API calls sent as POST, negotiates the encoding and
// hands the exchange to the framework's protocol layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/basalt/httpRequestHandler.h"
#include "platform/basalt/httpSvc.h"
#include "platform/basalt/logger.h"
#include "platform/orbi/jsonRpc.h"
#include "platform/orbi/localizer.h"
#include "platform/orbi/protocolHandler.h"
#include "platform/orbi/provider.h"
#include "tarnOrbi/basaltWrapLogger.h"

namespace NoxToken {
struct TokenEndpoint;
}

namespace TarnOrbi {

// Response format flags: one bit per media type found in Accept.
enum AcceptFlags : unsigned {
  kAcceptJson = 1,
  kAcceptCleanJson = 2,
  kAcceptFramed = 4,
  kAcceptFramedCleanJson = 8,
  kAcceptStreamJson = 16,
  kAcceptCleanStreamJson = 32,
};

// Content-Type accepted for API calls (substring tests, as clients add parameters).
bool IsAcceptedContentType(std::string_view contentType);
// Sum of the flags whose media type the Accept value contains; 0 when none.
unsigned NegotiateAccept(std::string_view accept);

class HttpRequestHandler final : public Basalt::Http::RequestHandlerMixin {
 public:
  static constexpr int32_t kMaxRequestSize = static_cast<int32_t>(Basalt::Http::kMaxBodySize);

  HttpRequestHandler(std::shared_ptr<Basalt::Service::Logger> logger,
                     std::shared_ptr<BasaltWrapLoggger> orbiLogger,
                     Orbi::Core::ProviderPtr provider, Orbi::Core::Enqueuer enqueuer,
                     std::shared_ptr<const Orbi::L10n::Localizer> localizer = nullptr);

  void HandlePost(std::shared_ptr<Basalt::Http::Request> request,
                  std::shared_ptr<Basalt::Http::Response> response) override;

 private:
  std::shared_ptr<Basalt::Service::Logger> logger_;
  std::shared_ptr<BasaltWrapLoggger> orbiLogger_;
  int32_t maxRequestSize_ = kMaxRequestSize;
  // The same provider chain, answering in the standard and in the clean encoding.
  std::shared_ptr<const Orbi::Provider::ExchangeServices> standard_;
  std::shared_ptr<const Orbi::Provider::ExchangeServices> clean_;
};

}  // namespace TarnOrbi
