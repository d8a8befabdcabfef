// The shared lock and the worker pool.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/basalt/rwLock.h"
#include "platform/basalt/workerPool.h"

namespace Basalt::System {
namespace {

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

}  // namespace
}  // namespace Basalt::System
