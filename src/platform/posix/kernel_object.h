// The object behind every HANDLE of the non-Windows platform layer.
//
// Events and threads are signalled and waited on under one process-wide lock and condition
// variable: a wait on several handles then sees a consistent snapshot of all of them, which is
// what WaitForMultipleObjects promises. Objects that wait by other means (a process-shared mutex)
// override WaitSelf and can only be waited on alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include "platform/posix/types.h"

namespace halvern::platform {

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  void Retain() { m_Handles.fetch_add(1, std::memory_order_relaxed); }
  void Drop() {
    if (m_Handles.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Called under WaitLock(): whether a wait on this object would be satisfied now, and taking
  // what the satisfied wait takes (an auto-reset event resets).
  virtual bool IsSignaled() const { return false; }
  virtual void Acquire() {}

  // Objects that cannot join the shared condition variable wait by themselves.
  virtual bool WaitsBySelf() const { return false; }
  virtual DWORD WaitSelf(DWORD /*milliseconds*/) { return 0xFFFFFFFFu; }

  // Access rights of the (one) handle to this object; every right unless the creator asked for
  // less.
  void SetAccess(DWORD rights) { m_Access = rights; }
  bool Allows(DWORD rights) const { return (m_Access & rights) == rights; }

  static std::mutex& WaitLock();
  static std::condition_variable& WaitChanged();

 private:
  std::atomic<int> m_Handles{1};
  DWORD m_Access = 0xFFFFFFFFu;
};

inline KernelObject* FromHandle(HANDLE handle) { return static_cast<KernelObject*>(handle); }

// Told about every wait that may block (a timeout other than zero) before it starts; the simulated
// audio system installs one to catch waits inside notification callbacks.
using WaitObserver = void (*)(DWORD milliseconds);
void SetWaitObserver(WaitObserver observer);

// Asked by CreateThread, CreateEventExW, WaitForMultipleObjects and AvSetMmThreadCharacteristicsW
// (after their own parameter checks) whether to fail; a non-zero answer is the last error the call
// fails with. The simulated audio system installs one while a test has armed such a fault, so an
// unarmed call costs one atomic load. Simulation only: on Windows the real kernel answers.
using KernelFaultHook = DWORD (*)(std::string_view call);
void SetKernelFaultHook(KernelFaultHook hook);

}  // namespace halvern::platform
