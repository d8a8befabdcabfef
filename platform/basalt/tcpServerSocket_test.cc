#include "platform/basalt/tcpServerSocket.h"

#include <gtest/gtest.h>

#include "platform/basalt/exception.h"
#include "platform/basalt/testing/messageOf.h"

namespace Basalt::System {
namespace {

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

}  // namespace
}  // namespace Basalt::System
