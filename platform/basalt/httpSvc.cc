#include "platform/basalt/httpSvc.h"

#include <malloc.h>

#include <atomic>
#include <functional>

#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/httpConnection.h"
#include "platform/basalt/logLimiter.h"

namespace Basalt::Http {

namespace {

constexpr std::chrono::milliseconds kTrimDelay(500);
constexpr int kLargeBuffer = 1 << 20;
// Lines about connections at the bound are written at most this often.
constexpr std::chrono::seconds kBoundLogInterval(10);

// Buffers of large bodies, and the parser's and decoder's copies of their strings, get mappings
// of their own, returned when freed. glibc otherwise raises its threshold after the first such
// buffer is freed, and later ones stay in a thread's heap, whose top malloc_trim never returns.
void ReturnLargeBuffersWhenFreed() { mallopt(M_MMAP_THRESHOLD, kLargeBuffer); }

// Smaller pieces (decoded values) leave free heap that glibc keeps mapped. It is handed back a
// little after the last large body is answered: the call's worker may still hold the decoded
// input for a moment.
std::function<void()> TrimWhenDrained() {
  auto pending = std::make_shared<std::atomic<bool>>(false);
  return [pending] {
    if (pending->exchange(true)) return;
    auto trim = [pending] {
      pending->store(false);
      malloc_trim(0);
    };
    if (auto app = Service::GetApp()) {
      app->RunAfter(kTrimDelay, trim);
    } else {
      trim();
    }
  };
}

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
    socket_->StartAccepting([context = context_,
                             refusedLine = std::make_shared<Service::LogLimiter>(kBoundLogInterval),
                             busyLine = std::make_shared<Service::LogLimiter>(kBoundLogInterval)](
                                System::ConnectionSocket socket) {
      const size_t bound = context->limits.maxConnections;
      if (context->connections.load() >= bound) {
        auto oldest = context->queue.TakeOldest();
        if (!oldest.connection) {
          context->refused.fetch_add(1, std::memory_order_relaxed);
          if (refusedLine->Due()) {
            context->logger->Log(3, "Too many connections (%1) and none idle, refusing one", bound);
          }
          return;  // the socket closes as it goes out of scope
        }
        uint64_t evicted = context->evicted.fetch_add(1, std::memory_order_relaxed) + 1;
        if (oldest.waiting) {
          context->logger->Log(6, "Connections at the limit (%1): closing the one idle longest",
                               bound);
        } else if (busyLine->Due()) {
          // Someone holds many slots without progress: the administrator wants to know, but
          // must not get a line per connection.
          auto held = std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now() - oldest.since);
          context->logger->Log(
              3,
              "Connections at the limit (%1): closing the one that has gone longest without "
              "completing a request (%2 ms); %3 closed for newcomers so far",
              bound, held.count(), evicted);
        }
        oldest.connection->Evict();
      }
      std::make_shared<HttpConnection>(std::move(socket), context)->Start();
    });
  }

  ConnectionCounts GetConnectionCounts() const override {
    return {context_->connections.load(std::memory_order_relaxed),
            context_->evicted.load(std::memory_order_relaxed),
            context_->refused.load(std::memory_order_relaxed)};
  }

 private:
  std::shared_ptr<System::TCPServerSocket> socket_;
  std::shared_ptr<HttpServiceContext> context_;
};

}  // namespace

HttpSvc::~HttpSvc() = default;

std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers) {
  auto limits = HttpLimits::FromAppConfig(logger.get());
  return CreateHttpSvc(std::move(socket), std::move(logger), std::move(headers), limits);
}

std::shared_ptr<HttpSvc> CreateHttpSvc(std::shared_ptr<System::TCPServerSocket> socket,
                                       std::shared_ptr<Service::Logger> logger,
                                       ResponseHeaderDefinitions headers, HttpLimits limits) {
  if (!socket) throw Exception("the HTTP service needs a server socket");
  auto context = std::make_shared<HttpServiceContext>();
  context->logger = logger ? std::move(logger) : Service::Logger::CreateLogger("HttpSvc");
  context->headers = std::move(headers);
  context->limits = limits;
  ReturnLargeBuffersWhenFreed();
  // One host user leaves the others room for a body of the largest size.
  const size_t share =
      limits.bodyBudget > limits.maxBody ? limits.bodyBudget - limits.maxBody : limits.bodyBudget;
  context->bodyBudget = std::make_shared<BodyBudget>(limits.bodyBudget, TrimWhenDrained(), share);
  return std::make_shared<AsioHttpSvc>(std::move(socket), std::move(context));
}

}  // namespace Basalt::Http
