#include "platform/basalt/tcpServerSocket.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/logger.h"

namespace Basalt::System {

namespace asio = boost::asio;
using asio::ip::tcp;

TCPServerSocket::~TCPServerSocket() = default;

namespace {

// A pause after an accept failure such as EMFILE, so that a full descriptor table does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay(100);

// One listening address. Its accept loop and closing run on its own strand.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(asio::io_context& ioContext, ConnectionContextFn connectionContext,
           std::shared_ptr<Service::Logger> logger)
      : connectionContext_(std::move(connectionContext)),
        strand_(asio::make_strand(ioContext)),
        acceptor_(strand_),
        retryTimer_(strand_),
        logger_(std::move(logger)) {}

  boost::system::error_code Open(const tcp::endpoint& endpoint) {
    boost::system::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error && endpoint.address().is_v6()) {
      acceptor_.set_option(asio::ip::v6_only(true), error);
    }
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (!error) acceptor_.non_blocking(true, error);
    if (error) {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
    }
    return error;
  }

  uint16_t LocalPort() const {
    boost::system::error_code error;
    auto endpoint = acceptor_.local_endpoint(error);
    return error ? 0 : endpoint.port();
  }

  void Start(TCPServerSocket::ConnectionHandler handler) {
    asio::post(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
      self->handler_ = std::move(handler);
      self->Accept();
    });
  }

  void Close() {
    asio::post(strand_, [self = shared_from_this()] {
      self->closed_ = true;
      boost::system::error_code ignored;
      self->acceptor_.close(ignored);
      self->retryTimer_.cancel();
    });
  }

 private:
  // The serving loop is picked when a connection is there to accept, not when the wait is armed:
  // with a listener per address, an idle one would otherwise hold a pick and skew the rotation.
  void Accept() {
    if (closed_) return;
    acceptor_.async_wait(
        tcp::acceptor::wait_read, [self = shared_from_this()](boost::system::error_code error) {
          if (self->closed_ || error == asio::error::operation_aborted) return;
          ConnectionSocket socket(self->connectionContext_());
          if (!error) self->acceptor_.accept(socket, error);
          if (error == asio::error::would_block || error == asio::error::try_again) {
            self->Accept();  // the client gave up before the accept
            return;
          }
          if (error) {
            self->logger_->Log(3, "Accepting a connection failed: %1", error.message());
            self->retryTimer_.expires_after(kAcceptRetryDelay);
            self->retryTimer_.async_wait([self](const boost::system::error_code& waitError) {
              if (!waitError) self->Accept();
            });
            return;
          }
          self->handler_(std::move(socket));
          self->Accept();
        });
  }

  ConnectionContextFn connectionContext_;
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  std::shared_ptr<Service::Logger> logger_;
  TCPServerSocket::ConnectionHandler handler_;
  bool closed_ = false;
};

bool IsAbsentAddress(const boost::system::error_code& error) {
  return error == asio::error::address_family_not_supported ||
         error == boost::system::errc::address_not_available;
}

class AsioTCPServerSocket : public TCPServerSocket {
 public:
  AsioTCPServerSocket(asio::io_context& ioContext, ConnectionContextFn connectionContext)
      : ioContext_(ioContext),
        connectionContext_(
            connectionContext
                ? std::move(connectionContext)
                : ConnectionContextFn([&ioContext]() -> asio::io_context& { return ioContext; })),
        logger_(Service::Logger::CreateLogger("TCPServerSocket")) {}

  ~AsioTCPServerSocket() override { Close(); }

  void Bind(const std::string& host, uint16_t port) override {
    std::lock_guard lock(mutex_);
    if (!listeners_.empty()) throw Exception("the server socket is already bound");
    for (const auto& address : LoopbackAddresses(host)) {
      uint16_t wanted = listeners_.empty() ? port : port_;
      auto listener = std::make_shared<Listener>(ioContext_, connectionContext_, logger_);
      auto error = listener->Open(tcp::endpoint(address, wanted));
      if (error) {
        // The first address decides; a second family that the host lacks is only skipped.
        if (listeners_.empty() || !(IsAbsentAddress(error) || port == 0)) {
          throw Exception(Format("cannot listen on %1 port %2: %3", address.to_string(), wanted,
                                 error.message()));
        }
        logger_->Log(4, "Not listening on %1 port %2: %3", address.to_string(), wanted,
                     error.message());
        continue;
      }
      if (listeners_.empty()) port_ = listener->LocalPort();
      logger_->Log(6, "Listening on %1 port %2", address.to_string(), port_);
      listeners_.push_back(std::move(listener));
    }
  }

  uint16_t GetPort() const override {
    std::lock_guard lock(mutex_);
    return port_;
  }

  void StartAccepting(ConnectionHandler handler) override {
    std::lock_guard lock(mutex_);
    if (listeners_.empty()) throw Exception("the server socket is not bound");
    for (auto& listener : listeners_) listener->Start(handler);
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    for (auto& listener : listeners_) listener->Close();
  }

 private:
  std::vector<asio::ip::address> LoopbackAddresses(const std::string& host) {
    // "localhost" is the loopback interface itself: no name service is asked, so a host without
    // /etc/hosts (or with a broken resolver) still starts.
    if (host == "localhost") {
      return {asio::ip::address_v4::loopback(), asio::ip::address_v6::loopback()};
    }
    boost::system::error_code error;
    tcp::resolver resolver(ioContext_);
    // No AI_ADDRCONFIG: it hides loopback addresses on hosts without another interface.
    auto results = resolver.resolve(host, "0", tcp::resolver::numeric_service, error);
    if (error) {
      throw Exception(Format("cannot resolve host '%1': %2", host, error.message()));
    }
    std::vector<asio::ip::address> addresses;
    for (const auto& entry : results) {
      auto address = entry.endpoint().address();
      if (!address.is_loopback()) continue;
      bool seen = false;
      for (const auto& known : addresses) seen = seen || known == address;
      if (!seen) addresses.push_back(address);
    }
    if (addresses.empty()) {
      throw Exception(Format("host '%1' has no loopback address to listen on", host));
    }
    return addresses;
  }

  asio::io_context& ioContext_;
  ConnectionContextFn connectionContext_;
  std::shared_ptr<Service::Logger> logger_;
  mutable std::mutex mutex_;  // guards listeners_ and port_
  std::vector<std::shared_ptr<Listener>> listeners_;
  uint16_t port_ = 0;
};

}  // namespace

std::shared_ptr<TCPServerSocket> CreateAsioTCPServerSocket(asio::io_context& ioContext,
                                                           ConnectionContextFn connectionContext) {
  return std::make_shared<AsioTCPServerSocket>(ioContext, std::move(connectionContext));
}

}  // namespace Basalt::System
