#include "platform/basalt/rwLock.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

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

}  // namespace
}  // namespace Basalt::System
