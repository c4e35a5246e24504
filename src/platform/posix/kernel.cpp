#include "platform/posix/kernel.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "platform/posix/kernel_object.h"
#include "platform/utf16.h"

using halvern::platform::FromHandle;
using halvern::platform::KernelObject;

namespace {

thread_local DWORD t_LastError = 0;
std::atomic<halvern::platform::WaitObserver> g_WaitObserver{nullptr};
std::atomic<halvern::platform::KernelFaultHook> g_KernelFaultHook{nullptr};

// The last error an armed fault makes `call` fail with, set already; 0 when none is armed.
DWORD InjectedFault(std::string_view call) {
  const auto hook = g_KernelFaultHook.load(std::memory_order_acquire);
  if (hook == nullptr) return 0;
  const DWORD error = hook(call);
  if (error != 0) SetLastError(error);
  return error;
}

class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : m_ManualReset(manualReset), m_Signaled(signaled) {}
  bool IsSignaled() const override { return m_Signaled; }
  void Acquire() override {
    if (!m_ManualReset) m_Signaled = false;
  }
  void Set(bool signaled) { m_Signaled = signaled; }

 private:
  const bool m_ManualReset;
  bool m_Signaled;
};

class ThreadObject final : public KernelObject {
 public:
  bool IsSignaled() const override { return finished; }

  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  DWORD id = 0;
  DWORD exitCode = STILL_ACTIVE;
  bool started = false;
  bool suspended = false;
  bool finished = false;
};

std::chrono::steady_clock::time_point DeadlineAfter(DWORD milliseconds) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

// Lowest signalled index for wait-any, or -1; for wait-all, 0 when every object is signalled.
int FirstSatisfied(DWORD count, const HANDLE* handles, bool waitAll) {
  if (waitAll) {
    for (DWORD i = 0; i < count; ++i)
      if (!FromHandle(handles[i])->IsSignaled()) return -1;
    for (DWORD i = 0; i < count; ++i) FromHandle(handles[i])->Acquire();
    return 0;
  }
  for (DWORD i = 0; i < count; ++i) {
    KernelObject* object = FromHandle(handles[i]);
    if (object->IsSignaled()) {
      object->Acquire();
      return static_cast<int>(i);
    }
  }
  return -1;
}

DWORD CurrentTid() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

void Signal(EventObject* event, bool signaled) {
  {
    std::lock_guard lock(KernelObject::WaitLock());
    event->Set(signaled);
  }
  if (signaled) KernelObject::WaitChanged().notify_all();
}

EventObject* ModifiableEvent(HANDLE handle) {
  auto* object = handle != nullptr ? dynamic_cast<EventObject*>(FromHandle(handle)) : nullptr;
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!object->Allows(EVENT_MODIFY_STATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return object;
}

void FillSystemTime(SYSTEMTIME* out, const std::tm& tm, int milliseconds) {
  out->wYear = static_cast<WORD>(tm.tm_year + 1900);
  out->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  out->wDay = static_cast<WORD>(tm.tm_mday);
  out->wHour = static_cast<WORD>(tm.tm_hour);
  out->wMinute = static_cast<WORD>(tm.tm_min);
  out->wSecond = static_cast<WORD>(tm.tm_sec);
  out->wMilliseconds = static_cast<WORD>(milliseconds);
}

void GetTime(SYSTEMTIME* out, bool local) {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm tm{};
  if (local)
    localtime_r(&seconds, &tm);
  else
    gmtime_r(&seconds, &tm);
  FillSystemTime(out, tm, static_cast<int>(ms.count() % 1000));
}

}  // namespace

namespace halvern::platform {

// Never destroyed: detached threads may still wait or finish while static objects are torn down
// at process exit.
std::mutex& KernelObject::WaitLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::condition_variable& KernelObject::WaitChanged() {
  static auto* changed = new std::condition_variable;
  return *changed;
}

void SetWaitObserver(WaitObserver observer) { g_WaitObserver.store(observer); }
void SetKernelFaultHook(KernelFaultHook hook) { g_KernelFaultHook.store(hook); }

}  // namespace halvern::platform

DWORD GetLastError() { return t_LastError; }
void SetLastError(DWORD error) { t_LastError = error; }

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  FromHandle(handle)->Drop();
  return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  auto* event = new (std::nothrow) EventObject(manualReset != FALSE, initialState != FALSE);
  if (event == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return event;
}

HANDLE CreateEventExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags,
                      DWORD desiredAccess) {
  constexpr DWORD kKnownFlags = CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET;
  if ((flags & ~kKnownFlags) != 0 || name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (InjectedFault("CreateEventExW") != 0) return nullptr;
  HANDLE event = CreateEventW(attributes, (flags & CREATE_EVENT_MANUAL_RESET) != 0 ? TRUE : FALSE,
                              (flags & CREATE_EVENT_INITIAL_SET) != 0 ? TRUE : FALSE, nullptr);
  if (event != nullptr) FromHandle(event)->SetAccess(desiredAccess);
  return event;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR) {
  return CreateEventW(attributes, manualReset, initialState, nullptr);
}

BOOL SetEvent(HANDLE event) {
  EventObject* object = ModifiableEvent(event);
  if (object == nullptr) return FALSE;
  Signal(object, true);
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  EventObject* object = ModifiableEvent(event);
  if (object == nullptr) return FALSE;
  Signal(object, false);
  return TRUE;
}

namespace {

DWORD Wait(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
           std::string_view call) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (handles[i] == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (!FromHandle(handles[i])->Allows(SYNCHRONIZE)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    // Windows documents a handle listed twice as invalid; refused for wait-all, where it would
    // take an auto-reset event twice from one signal.
    for (DWORD j = 0; waitAll != FALSE && j < i; ++j) {
      if (handles[j] == handles[i]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
    }
  }
  if (!call.empty() && InjectedFault(call) != 0) return WAIT_FAILED;
  if (milliseconds != 0)
    if (const auto observer = g_WaitObserver.load(std::memory_order_acquire))
      observer(milliseconds);
  if (count == 1 && FromHandle(handles[0])->WaitsBySelf())
    return FromHandle(handles[0])->WaitSelf(milliseconds);

  std::unique_lock lock(KernelObject::WaitLock());
  const auto deadline = DeadlineAfter(milliseconds == INFINITE ? 0 : milliseconds);
  for (;;) {
    const int index = FirstSatisfied(count, handles, waitAll != FALSE);
    if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    if (milliseconds == INFINITE) {
      KernelObject::WaitChanged().wait(lock);
    } else if (KernelObject::WaitChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
      const int last = FirstSatisfied(count, handles, waitAll != FALSE);
      return last >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(last) : WAIT_TIMEOUT;
    }
  }
}

}  // namespace

// Faults are armed per call: a WaitForMultipleObjects fault leaves WaitForSingleObject alone.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return Wait(1, &handle, FALSE, milliseconds, {});
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return Wait(count, handles, waitAll, milliseconds, "WaitForMultipleObjects");
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (InjectedFault("CreateThread") != 0) return nullptr;
  auto* thread = new (std::nothrow) ThreadObject;
  if (thread == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->start = start;
  thread->parameter = parameter;
  thread->suspended = (creationFlags & CREATE_SUSPENDED) != 0;
  thread->Retain();  // the running thread's own reference
  try {
    std::thread([thread] {
      {
        std::unique_lock lock(KernelObject::WaitLock());
        thread->id = CurrentTid();
        thread->started = true;
        KernelObject::WaitChanged().notify_all();
        KernelObject::WaitChanged().wait(lock, [thread] { return !thread->suspended; });
      }
      const DWORD code = thread->start(thread->parameter);
      {
        std::lock_guard lock(KernelObject::WaitLock());
        thread->exitCode = code;
        thread->finished = true;
      }
      KernelObject::WaitChanged().notify_all();
      thread->Drop();
    }).detach();
  } catch (...) {
    thread->Drop();
    thread->Drop();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::unique_lock lock(KernelObject::WaitLock());
  KernelObject::WaitChanged().wait(lock, [thread] { return thread->started; });
  if (threadId != nullptr) *threadId = thread->id;
  return thread;
}

DWORD ResumeThread(HANDLE handle) {
  auto* thread = dynamic_cast<ThreadObject*>(FromHandle(handle));
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD previous = 0;
  {
    std::lock_guard lock(KernelObject::WaitLock());
    previous = thread->suspended ? 1 : 0;
    thread->suspended = false;
  }
  KernelObject::WaitChanged().notify_all();
  return previous;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto* thread = dynamic_cast<ThreadObject*>(FromHandle(handle));
  if (thread == nullptr || exitCode == nullptr) {
    SetLastError(thread == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(KernelObject::WaitLock());
  *exitCode = thread->exitCode;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  thread_local const DWORD id = CurrentTid();
  return id;
}

// getpid is a system call, and tracing asks for the id on every line; a forked child learns its
// own id afresh.
DWORD GetCurrentProcessId() {
  static std::atomic<DWORD> cached{0};
  static const int forkHook =
      pthread_atfork(nullptr, nullptr, [] { cached.store(0, std::memory_order_relaxed); });
  (void)forkHook;
  DWORD id = cached.load(std::memory_order_relaxed);
  if (id == 0) {
    id = static_cast<DWORD>(::getpid());
    cached.store(id, std::memory_order_relaxed);
  }
  return id;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->impl = new std::recursive_mutex;
}

BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION section, DWORD, DWORD) {
  section->impl = new (std::nothrow) std::recursive_mutex;
  return section->impl != nullptr ? TRUE : FALSE;
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex*>(section->impl)->try_lock() ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD timeGetTime() { return static_cast<DWORD>(GetTickCount64()); }
DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void GetLocalTime(SYSTEMTIME* time) { GetTime(time, true); }
void GetSystemTime(SYSTEMTIME* time) { GetTime(time, false); }

void OutputDebugStringA(LPCSTR text) {
  static const bool toStderr = [] {
    const char* mode = std::getenv("HALVERN_DEBUG_OUTPUT");
    return mode != nullptr && std::strcmp(mode, "stderr") == 0;
  }();
  if (toStderr && text != nullptr) std::fputs(text, stderr);
}

void OutputDebugStringW(LPCWSTR text) {
  if (text != nullptr) OutputDebugStringA(halvern::platform::Utf16ToUtf8(text).c_str());
}

BOOL GetCurrentThreadStackLimits(ULONG_PTR* lowLimit, ULONG_PTR* highLimit) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return FALSE;
  void* address = nullptr;
  size_t size = 0;
  const bool ok = pthread_attr_getstack(&attributes, &address, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!ok) return FALSE;
  *lowLimit = reinterpret_cast<ULONG_PTR>(address);
  *highLimit = *lowLimit + size;
  return TRUE;
}

// The tasks a Windows installation defines in the registry (Multimedia\SystemProfile\Tasks), whose
// key names compare without case.
// https://learn.microsoft.com/en-us/windows/win32/procthread/multimedia-class-scheduler-service
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR taskName, LPDWORD taskIndex) {
  static constexpr std::u16string_view kTasks[] = {u"Audio",         u"Capture",  u"Distribution",
                                                   u"Games",         u"Playback", u"Pro Audio",
                                                   u"Window Manager"};
  if (taskName == nullptr || taskIndex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (InjectedFault("AvSetMmThreadCharacteristicsW") != 0) return nullptr;
  const std::u16string_view name(taskName);
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
  for (std::u16string_view task : kTasks) {
    if (std::equal(task.begin(), task.end(), name.begin(), name.end(),
                   [&](char16_t a, char16_t b) { return lower(a) == lower(b); })) {
      *taskIndex = 0;
      static int token;
      return &token;
    }
  }
  SetLastError(ERROR_INVALID_TASK_NAME);
  return nullptr;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE avrtHandle) {
  if (avrtHandle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
