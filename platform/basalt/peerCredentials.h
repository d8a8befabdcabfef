// Who is on the other end of a loopback TCP connection: the host user that owns the peer's
// socket, as the kernel's socket table records it (the sock_diag netlink family).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <mutex>
#include <optional>

namespace Basalt::System {

// The uid owning the TCP socket whose source is `remote` and destination `local`, that is the
// peer's end of a connection this process accepted. Nullopt when `remote` is not a loopback
// address (only a local peer has a socket in this host's table), when no process holds such a
// socket any more (the peer closed it) or when the netlink query fails (a sandbox without
// AF_NETLINK). One netlink round trip; thread-safe.
std::optional<uint32_t> LookUpLoopbackPeerUid(const boost::asio::ip::tcp::endpoint& local,
                                              const boost::asio::ip::tcp::endpoint& remote);

// One connection's endpoints and its peer's owner, looked up when first asked and then kept, so
// calls that never ask pay nothing. Thread-safe.
class ConnectionPeer {
 public:
  ConnectionPeer(boost::asio::ip::tcp::endpoint local, boost::asio::ip::tcp::endpoint remote);
  // A socket the peer already reset has no endpoints: its peer is then unknown.
  template <class Socket>
  explicit ConnectionPeer(const Socket& socket)
      : ConnectionPeer(EndpointOf(socket, true), EndpointOf(socket, false)) {}
  ConnectionPeer(const ConnectionPeer&) = delete;
  ConnectionPeer& operator=(const ConnectionPeer&) = delete;

  const boost::asio::ip::tcp::endpoint& Local() const { return local_; }
  const boost::asio::ip::tcp::endpoint& Remote() const { return remote_; }

  // The peer's uid; a failed lookup is kept too, since the answer cannot change.
  std::optional<uint32_t> Uid() const;

 private:
  template <class Socket>
  static boost::asio::ip::tcp::endpoint EndpointOf(const Socket& socket, bool local) {
    boost::system::error_code ignored;
    return local ? socket.local_endpoint(ignored) : socket.remote_endpoint(ignored);
  }

  const boost::asio::ip::tcp::endpoint local_;
  const boost::asio::ip::tcp::endpoint remote_;
  mutable std::once_flag looked_;
  mutable std::optional<uint32_t> uid_;
};

}  // namespace Basalt::System
