// Kernel objects as the library uses them. The same cases run against the real Windows API (mingw
// build under Wine) and against the POSIX stand-ins, so both must show Windows semantics.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/scoped_resources.h"
#include "platform/win32.h"

namespace {

// Generous: a slow or loaded machine makes the tests slower, never red.
constexpr DWORD kDeadlineMs = 10000;

using Handle = halvern::platform::CScopedHandle;

HANDLE NewEvent(bool manualReset, bool signaled) {
  return CreateEventW(nullptr, manualReset ? TRUE : FALSE, signaled ? TRUE : FALSE, nullptr);
}

bool IsSignaledNow(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

struct Probe {
  HANDLE go;
  std::atomic<DWORD> id{0};
};

// Notes its thread id, then waits on `go` and returns 42.
DWORD WINAPI RecordAndWait(LPVOID parameter) {
  auto* probe = static_cast<Probe*>(parameter);
  probe->id = GetCurrentThreadId();
  return WaitForSingleObject(probe->go, kDeadlineMs) == WAIT_OBJECT_0 ? 42 : 1000;
}

}  // namespace

TEST(KernelEvent, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Handle go(NewEvent(false, false));
  Probe probe{go.Get()};
  Handle first(CreateThread(nullptr, 0, RecordAndWait, &probe, 0, nullptr));
  Handle second(CreateThread(nullptr, 0, RecordAndWait, &probe, 0, nullptr));
  HANDLE threads[2] = {first.Get(), second.Get()};

  SetEvent(go.Get());
  const DWORD woken = WaitForMultipleObjects(2, threads, FALSE, kDeadlineMs);
  ASSERT_LT(woken, WAIT_OBJECT_0 + 2);
  HANDLE other = threads[1 - (woken - WAIT_OBJECT_0)];
  // The signal was taken by the first waiter: the other one stays blocked.
  EXPECT_EQ(WaitForSingleObject(other, 100), WAIT_TIMEOUT);
  SetEvent(go.Get());
  EXPECT_EQ(WaitForSingleObject(other, kDeadlineMs), WAIT_OBJECT_0);
}

// Flags and access of CreateEventExW (auto and manual reset); a handle has only the rights asked
// for.
// https://learn.microsoft.com/en-us/windows/win32/api/synchapi/nf-synchapi-createeventexw
TEST(KernelEvent, CreateEventExHonoursFlagsAndAccess) {
  constexpr DWORD kFull = SYNCHRONIZE | EVENT_MODIFY_STATE;
  struct Case {
    DWORD flags;
    bool manualReset;
    bool initiallySet;
  };
  for (const Case& c : {Case{0, false, false}, Case{CREATE_EVENT_INITIAL_SET, false, true},
                        Case{CREATE_EVENT_MANUAL_RESET, true, false},
                        Case{CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET, true, true}}) {
    SCOPED_TRACE(c.flags);
    Handle event(CreateEventExW(nullptr, nullptr, c.flags, kFull));
    ASSERT_TRUE(event);
    EXPECT_EQ(IsSignaledNow(event.Get()), c.initiallySet);
    ASSERT_TRUE(SetEvent(event.Get()));
    ASSERT_TRUE(SetEvent(event.Get()));  // signals do not accumulate
    EXPECT_TRUE(IsSignaledNow(event.Get()));
    EXPECT_EQ(IsSignaledNow(event.Get()), c.manualReset);
    ASSERT_TRUE(ResetEvent(event.Get()));
    EXPECT_FALSE(IsSignaledNow(event.Get()));
  }

  Handle waitOnly(CreateEventExW(nullptr, nullptr, 0, SYNCHRONIZE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(waitOnly.Get()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  Handle signalOnly(CreateEventExW(nullptr, nullptr, CREATE_EVENT_INITIAL_SET, EVENT_MODIFY_STATE));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(signalOnly.Get(), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(SetEvent(signalOnly.Get()));
}

TEST(KernelWait, AnyReportsLowestSignalledIndexAndConsumesOnlyThat) {
  Handle e0(NewEvent(false, false));
  Handle e1(NewEvent(false, false));
  Handle e2(NewEvent(false, false));
  Handle e3(NewEvent(true, false));
  HANDLE events[4] = {e0.Get(), e1.Get(), e2.Get(), e3.Get()};
  SetEvent(e3.Get());
  SetEvent(e1.Get());
  EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 3);  // manual reset
  SetEvent(e0.Get());
  EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0);
  ResetEvent(e3.Get());
  EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_TIMEOUT);
}

TEST(KernelWait, AllTakesNothingUntilEveryObjectIsSignalled) {
  Handle a(NewEvent(false, false));
  Handle b(NewEvent(false, false));
  HANDLE both[2] = {a.Get(), b.Get()};
  SetEvent(a.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 30), WAIT_TIMEOUT);
  SetEvent(b.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  // The satisfied wait took both auto-reset signals.
  EXPECT_FALSE(IsSignaledNow(a.Get()));
  EXPECT_FALSE(IsSignaledNow(b.Get()));

  SetEvent(a.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(IsSignaledNow(a.Get()));  // a failed wait-all leaves the signal in place
}

TEST(KernelWait, TimeoutsExpireAndAWaitForAllWakesOnTheLastSignal) {
  Handle a(NewEvent(true, true));
  Handle b(NewEvent(false, false));
  const ULONGLONG before = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(b.Get(), 60), WAIT_TIMEOUT);
  // A timed-out wait lasted at least about its timeout (system tick granularity allowed).
  EXPECT_GE(GetTickCount64() - before, 40u);

  std::thread signaller([&] {
    Sleep(20);
    SetEvent(b.Get());
  });
  HANDLE both[2] = {a.Get(), b.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, kDeadlineMs), WAIT_OBJECT_0);
  signaller.join();
}

TEST(KernelThread, SuspendedThreadRunsOnResumeAndItsHandleKeepsTheExitCode) {
  Handle go(NewEvent(false, false));
  Probe probe{go.Get()};
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, RecordAndWait, &probe, CREATE_SUSPENDED, &id));
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(thread.Get(), 100), WAIT_TIMEOUT);
  EXPECT_EQ(probe.id.load(), 0u);
  EXPECT_EQ(ResumeThread(thread.Get()), 1u);  // the previous suspend count
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread.Get(), 0), WAIT_TIMEOUT);

  SetEvent(go.Get());
  ASSERT_EQ(WaitForSingleObject(thread.Get(), kDeadlineMs), WAIT_OBJECT_0);
  EXPECT_EQ(probe.id.load(), id);
  EXPECT_NE(id, GetCurrentThreadId());
  ASSERT_TRUE(GetExitCodeThread(thread.Get(), &code));
  EXPECT_EQ(code, 42u);
  // A finished thread's handle stays signalled.
  EXPECT_EQ(WaitForSingleObject(thread.Get(), 0), WAIT_OBJECT_0);
}

TEST(KernelCriticalSection, IsRecursiveAndRefusesOtherThreadsUntilFullyReleased) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionEx(&section, 0, 0));
  auto otherThreadGetsIt = [&] {
    BOOL acquired = FALSE;
    std::thread([&] {
      acquired = TryEnterCriticalSection(&section);
      if (acquired) LeaveCriticalSection(&section);
    }).join();
    return acquired != FALSE;
  };
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));  // the owner may take it again
  EXPECT_FALSE(otherThreadGetsIt());
  LeaveCriticalSection(&section);
  EXPECT_FALSE(otherThreadGetsIt());  // still held once
  LeaveCriticalSection(&section);
  EXPECT_TRUE(otherThreadGetsIt());
  DeleteCriticalSection(&section);
}

TEST(KernelTime, LocalTimeAgreesWithTheCRuntime) {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  const std::time_t now = std::time(nullptr);
  const std::tm tm = *std::localtime(&now);
  const int ours = (st.wHour * 60 + st.wMinute) * 60 + st.wSecond;
  const int theirs = (tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec;
  EXPECT_LE(std::abs(ours - theirs), 5);
  EXPECT_LE(st.wMilliseconds, 999);
  EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDay, st.wDayOfWeek}),
            std::vector<int>({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday}));
}
