// System pieces: loopback sockets and the host user behind a peer, the shared lock, the worker
// pool and the cache of recent texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <future>
#include <thread>

#include "platform/basalt/exception.h"
#include "platform/basalt/peerCredentials.h"
#include "platform/basalt/recentCache.h"
#include "platform/basalt/rwLock.h"
#include "platform/basalt/tcpServerSocket.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/basalt/workerPool.h"

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

class Guarded : public RwLockableMixin {
 public:
  int value = 0;
};

// A release of the wrong mode would leave the lock held and the next step would never finish.
TEST(RwLockTest, ReadersShareAndEachReleaseFreesItsMode) {
  Guarded guarded;
  guarded.ReadLock();
  auto secondReader = std::async(std::launch::async, [&guarded] {
    ScopedReadLock lock(guarded);
    return guarded.value;
  });
  EXPECT_EQ(secondReader.get(), 0);  // finished while the first reader still holds the lock
  guarded.ReadUnlock();

  {
    ScopedWriteLock lock(guarded);
    guarded.value = 1;
  }
  std::thread writer([&guarded] {
    ScopedWriteLock lock(guarded);
    guarded.value = 2;
  });
  writer.join();
  ScopedReadLock lock(guarded);
  EXPECT_EQ(guarded.value, 2);
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

TEST(RecentCacheTest, KeepsExactTextsWithinItsBytes) {
  RecentCache<int> cache(1600);  // room for about twenty short entries
  cache.Insert("token-0", 0);
  EXPECT_EQ(cache.Find("token-0"), 0);
  EXPECT_EQ(cache.Find("token-"), std::nullopt);
  EXPECT_EQ(cache.Find("token-00"), std::nullopt);
  cache.Insert(std::string(101, 'x'), 1);  // over a sixteenth of the bound
  EXPECT_EQ(cache.Find(std::string(101, 'x')), std::nullopt);

  // Past the bound everything goes, then filling starts again.
  for (int i = 1; i < 100; ++i) cache.Insert("token-" + std::to_string(i), i);
  EXPECT_EQ(cache.Find("token-0"), std::nullopt);
  EXPECT_EQ(cache.Find("token-99"), 99);
}

}  // namespace
}  // namespace Basalt::System
