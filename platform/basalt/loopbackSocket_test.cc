// Loopback sockets: binding the server socket, and finding the host user behind a peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include "platform/basalt/exception.h"
#include "platform/basalt/peerCredentials.h"
#include "platform/basalt/tcpServerSocket.h"
#include "platform/basalt/testing/messageOf.h"

namespace Basalt::System {
namespace {

namespace ip = boost::asio::ip;

std::string BindError(TCPServerSocket& socket, const std::string& host, uint16_t port) {
  return Testing::MessageOf([&] { socket.Bind(host, port); });
}

TEST(TCPServerSocketTest, BindsLoopbackOnlyAndReportsConflicts) {
  boost::asio::io_context ioContext;
  auto first = CreateAsioTCPServerSocket(ioContext);
  EXPECT_EQ(first->GetPort(), 0);
  first->Bind("localhost", 0);
  uint16_t port = first->GetPort();
  ASSERT_NE(port, 0);

  auto second = CreateAsioTCPServerSocket(ioContext);
  std::string error = BindError(*second, "localhost", port);
  EXPECT_NE(error.find("cannot listen on "), std::string::npos) << error;
  EXPECT_NE(error.find("port " + std::to_string(port)), std::string::npos) << error;

  auto wildcard = CreateAsioTCPServerSocket(ioContext);
  EXPECT_EQ(BindError(*wildcard, "0.0.0.0", 0),
            "host '0.0.0.0' has no loopback address to listen on");
  EXPECT_EQ(wildcard->GetPort(), 0);

  EXPECT_EQ(BindError(*first, "localhost", 0), "the server socket is already bound");
  EXPECT_THROW(wildcard->StartAccepting([](boost::asio::ip::tcp::socket) {}), Exception);
}

TEST(PeerCredentialsTest, FindsTheOwnerOfALoopbackPeerAndNothingElse) {
  boost::asio::io_context io;
  for (const auto& loopback :
       {ip::address(ip::address_v4::loopback()), ip::address(ip::address_v6::loopback())}) {
    ip::tcp::acceptor acceptor(io);
    boost::system::error_code error;
    acceptor.open(ip::tcp::endpoint(loopback, 0).protocol(), error);
    if (!error) acceptor.bind(ip::tcp::endpoint(loopback, 0), error);
    if (error) continue;  // a host without IPv6
    acceptor.listen();
    ip::tcp::socket client(io), served(io);
    client.connect(acceptor.local_endpoint());
    acceptor.accept(served);

    ConnectionPeer peer(served);
    EXPECT_EQ(peer.Uid(), getuid()) << loopback;
    EXPECT_EQ(peer.Remote(), client.local_endpoint());
    // The served side's own socket is not the peer; a closed peer is nobody.
    EXPECT_EQ(LookUpLoopbackPeerUid(client.local_endpoint(), served.local_endpoint()), getuid());
    const auto remote = client.local_endpoint();
    client.close();
    served.close();
    EXPECT_EQ(LookUpLoopbackPeerUid(acceptor.local_endpoint(), remote), std::nullopt);
  }
  const ip::tcp::endpoint elsewhere(ip::make_address("192.0.2.1"), 4000);
  EXPECT_EQ(LookUpLoopbackPeerUid({ip::address_v4::loopback(), 9199}, elsewhere), std::nullopt);
}

}  // namespace
}  // namespace Basalt::System
