#include "platform/basalt/httpSvc.h"

#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/httpConnection.h"

namespace Basalt::Http {

namespace {

constexpr int64_t kMaxIdleTimeoutSeconds = 24 * 3600;

class AsioHttpSvc : public HttpSvc {
 public:
  AsioHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
              std::shared_ptr<HttpServiceContext> context)
      : socket_(std::move(socket)), context_(std::move(context)) {}

  ~AsioHttpSvc() override {
    socket_->Close();
    // Waiting bodies hold their connections, which hold the budget.
    context_->bodyBudget->Cancel();
  }

  void SetRequestHandler(std::shared_ptr<RequestHandlerMixin> handler) override {
    context_->SetHandler(std::move(handler));
  }

  void Start() override {
    socket_->StartAccepting([context = context_](boost::asio::ip::tcp::socket socket) {
      if (context->connections.load() >= context->limits.maxConnections) {
        context->logger->Log(3, "Too many connections (%1), refusing one",
                             context->limits.maxConnections);
        return;  // the socket closes as it goes out of scope
      }
      std::make_shared<HttpConnection>(std::move(socket), context)->Start();
    });
  }

 private:
  std::shared_ptr<System::TCPServerSocket> socket_;
  std::shared_ptr<HttpServiceContext> context_;
};

}  // namespace

HttpSvc::~HttpSvc() = default;

ResponseHeaderDefinitions GetDefaultResponseHeadersDefinitions() {
  return {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
}

HttpLimits HttpLimits::FromAppConfig() {
  HttpLimits limits;
  auto app = Service::GetApp();
  if (!app) return limits;
  int64_t seconds = limits.idleTimeout.count();
  app->GetConfig()->GetInt("http/idleTimeoutSeconds", seconds);
  if (seconds < 1 || seconds > kMaxIdleTimeoutSeconds) {
    throw Exception(
        Format("configuration key 'http/idleTimeoutSeconds' must be between 1 and %1, "
               "not %2",
               kMaxIdleTimeoutSeconds, seconds));
  }
  limits.idleTimeout = std::chrono::seconds(seconds);
  return limits;
}

std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers) {
  return CreateHttpSvc(std::move(socket), std::move(logger), std::move(headers),
                       HttpLimits::FromAppConfig());
}

std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers, HttpLimits limits) {
  if (!socket) throw Exception("the HTTP service needs a server socket");
  auto context = std::make_shared<HttpServiceContext>();
  context->logger = logger ? std::move(logger) : Service::Logger::CreateLogger("HttpSvc");
  context->headers = std::move(headers);
  context->limits = limits;
  context->bodyBudget = std::make_shared<BodyBudget>(limits.bodyBudget);
  return std::make_shared<AsioHttpSvc>(std::move(socket), std::move(context));
}

}  // namespace Basalt::Http
