#include "platform/basalt/httpSvc.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>

#include "platform/basalt/app.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/httpConnection.h"

namespace Basalt::Http {

namespace {

constexpr int64_t kMaxTimeoutSeconds = 24 * 3600;
// Descriptors kept for everything but connections: listeners, the store, PAM, logs.
constexpr size_t kReservedDescriptors = 128;
constexpr std::chrono::milliseconds kTrimDelay(500);
constexpr int kLargeBuffer = 1 << 20;
// Lines about connections at the bound are written at most this often.
constexpr std::chrono::seconds kBoundLogInterval(10);

std::chrono::seconds ReadSeconds(const Service::Config& config, const std::string& key,
                                 std::chrono::seconds fallback) {
  int64_t seconds = fallback.count();
  config.GetInt(key, seconds);
  if (seconds < 1 || seconds > kMaxTimeoutSeconds) {
    throw Exception(Format("configuration key '%1' must be between 1 and %2, not %3", key,
                           kMaxTimeoutSeconds, seconds));
  }
  return std::chrono::seconds(seconds);
}

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

// Connections are descriptors: take all the system grants this process.
size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(limit.rlim_cur);
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
    socket_->StartAccepting([context = context_, refusedLine = Throttle(),
                             busyLine = Throttle()](System::ConnectionSocket socket) mutable {
      const size_t bound = context->limits.maxConnections;
      if (context->connections.load() >= bound) {
        auto oldest = context->queue.TakeOldest();
        if (!oldest.connection) {
          context->refused.fetch_add(1, std::memory_order_relaxed);
          if (refusedLine.Due()) {
            context->logger->Log(3, "Too many connections (%1) and none idle, refusing one", bound);
          }
          return;  // the socket closes as it goes out of scope
        }
        uint64_t evicted = context->evicted.fetch_add(1, std::memory_order_relaxed) + 1;
        if (oldest.waiting) {
          context->logger->Log(6, "Connections at the limit (%1): closing the one idle longest",
                               bound);
        } else if (busyLine.Due()) {
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
        oldest.connection->Evict(oldest.exchange);
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
  // A line an attacker can cause per connection is written at most once per interval.
  struct Throttle {
    std::chrono::steady_clock::time_point next;

    bool Due() {
      auto now = std::chrono::steady_clock::now();
      if (now < next) return false;
      next = now + kBoundLogInterval;
      return true;
    }
  };

  std::shared_ptr<System::TCPServerSocket> socket_;
  std::shared_ptr<HttpServiceContext> context_;
};

}  // namespace

HttpSvc::~HttpSvc() = default;

ResponseHeaderDefinitions GetDefaultResponseHeadersDefinitions() {
  return {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
}

HttpLimits HttpLimits::FromAppConfig(Service::Logger* logger) {
  HttpLimits limits;
  size_t descriptors = RaiseDescriptorLimit();
  size_t allowed = descriptors > kReservedDescriptors ? descriptors - kReservedDescriptors : 1;
  limits.maxConnections = std::min(allowed, kMaxConnectionsDefault);
  if (logger && allowed <= kFewConnections) {
    logger->Log(3, "The descriptor limit (%1) leaves room for only %2 connections", descriptors,
                allowed);
  }
  auto app = Service::GetApp();
  if (!app) return limits;
  const auto& config = *app->GetConfig();
  limits.idleTimeout = ReadSeconds(config, "http/idleTimeoutSeconds", limits.idleTimeout);
  limits.headerTimeout = ReadSeconds(config, "http/headerTimeoutSeconds", limits.headerTimeout);
  limits.bodyTimeout = ReadSeconds(config, "http/bodyTimeoutSeconds", limits.bodyTimeout);
  auto connections = static_cast<int64_t>(limits.maxConnections);
  config.GetInt("http/maxConnections", connections);
  if (connections < 1 || connections > static_cast<int64_t>(allowed)) {
    throw Exception(Format(
        "configuration key 'http/maxConnections' must be between 1 and %1 (the descriptor limit "
        "less %2), not %3",
        allowed, kReservedDescriptors, connections));
  }
  limits.maxConnections = static_cast<size_t>(connections);
  return limits;
}

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
  context->bodyBudget = std::make_shared<BodyBudget>(limits.bodyBudget, TrimWhenDrained());
  return std::make_shared<AsioHttpSvc>(std::move(socket), std::move(context));
}

}  // namespace Basalt::Http
