#include "platform/basalt/peerCredentials.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <future>

#include "platform/basalt/workerPool.h"

namespace Basalt::System {
namespace {

namespace ip = boost::asio::ip;

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

TEST(WorkerPoolTest, RunsQueuedWorkAndRefusesBeyondTheQueue) {
  std::promise<void> release, started;
  std::atomic<int> ran{0};
  {
    WorkerPool pool(1, 2);
    ASSERT_TRUE(pool.TryPost([&] { started.set_value(), release.get_future().wait(), ++ran; }));
    started.get_future().wait();
    EXPECT_TRUE(pool.TryPost([&] { ++ran; }) && pool.TryPost([&] { ++ran; }));
    EXPECT_FALSE(pool.TryPost([&] { ++ran; }));
    release.set_value();
    for (int i = 0; i < 1000 && ran < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ran, 3);
}

}  // namespace
}  // namespace Basalt::System
