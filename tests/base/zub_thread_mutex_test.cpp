#include "base/zub_thread_mutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace halvern {
namespace {

bool TryFromAnotherThread(CZubThreadMutex& mutex) {
  bool acquired = false;
  std::thread([&] {
    acquired = mutex.TryLock();
    if (acquired) mutex.Unlock();
  }).join();
  return acquired;
}

TEST(ZubThreadMutex, NestedScopedLocksProceedAndReleaseFully) {
  CZubThreadMutex mutex;
  {
    CZubThreadMutexLock outer(mutex);
    {
      CZubThreadMutexLock inner(mutex);
      EXPECT_FALSE(TryFromAnotherThread(mutex));
    }
    EXPECT_FALSE(TryFromAnotherThread(mutex));  // still held once
    EXPECT_TRUE(mutex.TryLock());               // the holder may always take it again
    mutex.Unlock();
  }
  EXPECT_TRUE(TryFromAnotherThread(mutex));
}

TEST(ZubThreadMutex, ExcludesConcurrentWriters) {
  CZubThreadMutex mutex;
  long long value = 0;
  auto count = [&] {
    for (int i = 0; i < 20000; ++i) {
      CZubThreadMutexLock outer(mutex);
      CZubThreadMutexLock inner(mutex);
      value = value + 1;
    }
  };
  std::thread a(count), b(count);
  a.join();
  b.join();
  EXPECT_EQ(value, 40000);
}

}  // namespace
}  // namespace halvern
