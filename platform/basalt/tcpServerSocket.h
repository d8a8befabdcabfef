// A listening TCP endpoint that hands accepted connections to the HTTP service.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Basalt::System {

// An accepted connection's socket, on the executor of the loop that serves it. Nothing else
// serializes a connection's work: that loop must be run by one thread.
using ConnectionSocket =
    boost::asio::ip::tcp::socket::rebind_executor<boost::asio::io_context::executor_type>::other;

class TCPServerSocket {
 public:
  // Each accepted connection.
  using ConnectionHandler = std::function<void(ConnectionSocket)>;

  virtual ~TCPServerSocket();

  // Listens on every loopback address that `host` resolves to (SO_REUSEADDR); "localhost" is
  // 127.0.0.1 then ::1 without a name lookup, ::1 skipped when the host has no IPv6 loopback. Port
  // 0 picks a free port, shared by all addresses. Throws Basalt::Exception when nothing can be
  // bound or when `host` has no loopback address.
  virtual void Bind(const std::string& host, uint16_t port) = 0;

  // The bound port; 0 before Bind.
  virtual uint16_t GetPort() const = 0;

  // Starts accepting on the event loop; `handler` runs for every connection until Close().
  virtual void StartAccepting(ConnectionHandler handler) = 0;

  // Stops listening; thread-safe.
  virtual void Close() = 0;
};

// Picks the loop that serves a new connection; each loop it returns is run by one thread.
using ConnectionContextFn = std::function<boost::asio::io_context&()>;

// The loop-driven socket that the runtime's system factory makes: it accepts on `ioContext` and
// hands each connection to the loop `connectionContext` picks (`ioContext` when empty, which
// must then be run by one thread).
std::shared_ptr<TCPServerSocket> CreateAsioTCPServerSocket(
    boost::asio::io_context& ioContext, ConnectionContextFn connectionContext = nullptr);

}  // namespace Basalt::System
