// A single thread that runs the router's notification work in the order it was posted.
//
// Windows calls IMMNotificationClient methods on its own thread and requires them to return at
// once: no waits, no (un)registration, no final release of a device object. Posting only takes a
// short in-process lock and never waits on a kernel object, so a callback that posts stays within
// those rules; the work itself (logging, which takes the trace block's named mutex, stopping an
// endpoint, enumerator calls, the host's delegate) runs here.
// https://learn.microsoft.com/windows/win32/api/mmdeviceapi/nn-mmdeviceapi-immnotificationclient
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/win32.h"

namespace halvern {

class CNotificationWorker {
 public:
  using Task = std::function<void()>;
  // Longest wait for the thread at destruction: one task in progress (an endpoint stop waits up to
  // a second for its thread) and the host's delegate.
  static constexpr DWORD kWorkerStopTimeoutMs = 5000;

  CNotificationWorker() = default;
  ~CNotificationWorker();
  CNotificationWorker(const CNotificationWorker&) = delete;
  CNotificationWorker& operator=(const CNotificationWorker&) = delete;

  // Starts the thread once; false when it could not be created (posted work is then dropped).
  bool Start();
  // Queues a task; never blocks for longer than the queue lock is held.
  void Post(Task task);
  // Waits until everything posted so far has run; false on timeout.
  bool WaitIdle(DWORD milliseconds);
  // Ends the thread after the task in progress; queued tasks are dropped. Waits at most
  // `milliseconds` for the thread to finish.
  void Stop(DWORD milliseconds);

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Run();

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::deque<Task> m_Tasks;
  std::size_t m_Busy = 0;  // tasks queued or running
  bool m_Stopping = false;
  HANDLE m_Thread = nullptr;
};

}  // namespace halvern
