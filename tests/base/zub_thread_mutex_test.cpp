#include "base/zub_thread_mutex.h"

#include <gtest/gtest.h>

#include <atomic>

namespace halvern {
namespace {

constexpr DWORD kDeadlineMs = 10000;

struct TryProbe {
  CZubThreadMutex* mutex;
  bool acquired = false;
};

DWORD WINAPI TryOnce(LPVOID parameter) {
  auto* probe = static_cast<TryProbe*>(parameter);
  probe->acquired = probe->mutex->TryLock();
  if (probe->acquired) probe->mutex->Unlock();
  return 0;
}

bool TryFromAnotherThread(CZubThreadMutex& mutex) {
  TryProbe probe{&mutex};
  HANDLE thread = CreateThread(nullptr, 0, TryOnce, &probe, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  return probe.acquired;
}

struct Counter {
  CZubThreadMutex mutex;
  long long value = 0;
};

DWORD WINAPI CountUnderLock(LPVOID parameter) {
  auto* counter = static_cast<Counter*>(parameter);
  for (int i = 0; i < 20000; ++i) {
    CZubThreadMutexLock outer(counter->mutex);
    CZubThreadMutexLock inner(counter->mutex);
    counter->value = counter->value + 1;
  }
  return 0;
}

}  // namespace

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
  Counter counter;
  HANDLE threads[2] = {CreateThread(nullptr, 0, CountUnderLock, &counter, 0, nullptr),
                       CreateThread(nullptr, 0, CountUnderLock, &counter, 0, nullptr)};
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  EXPECT_EQ(counter.value, 40000);
}

}  // namespace halvern
