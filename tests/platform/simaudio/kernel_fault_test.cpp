#if !defined(_WIN32)

#include <thread>

#include "platform/scoped_resources.h"
#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

using SimKernelFaults = SimAudioTest;

DWORD WINAPI Nothing(LPVOID) { return 0; }

// Each makes its call once and says whether it failed the way Windows reports a failure.
bool CreateThreadFails() {
  platform::CScopedHandle thread(CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr));
  return !thread || WaitForSingleObject(thread.Get(), 10000) != WAIT_OBJECT_0;
}

bool CreateEventExFails() {
  return !platform::CScopedHandle(
      CreateEventExW(nullptr, nullptr, 0, SYNCHRONIZE | EVENT_MODIFY_STATE));
}

bool WaitFails() {
  platform::CScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const HANDLE handles[] = {event.Get()};
  return WaitForMultipleObjects(1, handles, FALSE, 0) == WAIT_FAILED;
}

bool MmcssFails() { return platform::CMmcssRegistration().Register(u"Pro Audio") != ERROR_SUCCESS; }

TEST_F(SimKernelFaults, FailTheArmedThreadForTheirCountWithTheChosenLastError) {
  const struct {
    const char* call;
    DWORD error;
    bool (*fails)();
  } cases[] = {
      {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, CreateThreadFails},
      {"CreateEventExW", ERROR_NOT_ENOUGH_MEMORY, CreateEventExFails},
      {"WaitForMultipleObjects", ERROR_INVALID_HANDLE, WaitFails},
      {"AvSetMmThreadCharacteristicsW", ERROR_PRIVILEGE_NOT_HELD, MmcssFails},
  };
  // Only Win32 errors of known calls, without an endpoint, are armed.
  EXPECT_EQ(InjectFault(u"", "CreateThreads", HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)),
            E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"", "WaitForSingleObject", HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)),
            E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"", "CreateEventExW", E_FAIL), E_INVALIDARG);  // no last error to give
  EXPECT_EQ(InjectFault(u"", "CreateEventExW", S_OK), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "AvSetMmThreadCharacteristicsW",
                        HRESULT_FROM_WIN32(ERROR_INVALID_TASK_NAME)),
            E_INVALIDARG);
  EXPECT_FALSE(CreateEventExFails());
  EXPECT_EQ(FaultsFired(u"", "CreateEventExW"), 0);
  for (const auto& c : cases) {
    ASSERT_EQ(InjectFault(u"", c.call, HRESULT_FROM_WIN32(c.error), 2, GetCurrentThreadId()), S_OK);
    bool elsewhere = true;
    std::thread([&] { elsewhere = c.fails(); }).join();
    EXPECT_FALSE(elsewhere) << c.call;
    // The neighbours that share its code are not hit.
    platform::CScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0) << c.call;
    for (int i = 0; i < 3; ++i) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(c.fails(), i < 2) << c.call << " call " << i;
      if (i < 2) {
        EXPECT_EQ(GetLastError(), c.error) << c.call;
      }
    }
    EXPECT_EQ(FaultsFired(u"", c.call), 2) << c.call;
  }
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
