#include "router/notification_worker.h"

#include <chrono>
#include <utility>

#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {

CNotificationWorker::~CNotificationWorker() { Stop(kWorkerStopTimeoutMs); }

bool CNotificationWorker::Start() {
  std::lock_guard lock(m_Lock);
  if (m_Thread != nullptr) return true;
  m_Stopping = false;
  m_Thread = CreateThread(nullptr, 0, &CNotificationWorker::ThreadProc, this, 0, nullptr);
  return m_Thread != nullptr;
}

void CNotificationWorker::Post(Task task) {
  {
    std::lock_guard lock(m_Lock);
    if (m_Thread == nullptr || m_Stopping) return;
    m_Tasks.push_back(std::move(task));
    ++m_Busy;
  }
  m_Changed.notify_all();
}

bool CNotificationWorker::WaitIdle(DWORD milliseconds) {
  std::unique_lock lock(m_Lock);
  return m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return m_Busy == 0; });
}

void CNotificationWorker::Stop(DWORD milliseconds) {
  HANDLE thread = nullptr;
  {
    std::lock_guard lock(m_Lock);
    m_Stopping = true;
    m_Busy = 0;
    m_Tasks.clear();
    thread = std::exchange(m_Thread, nullptr);
  }
  m_Changed.notify_all();
  if (thread == nullptr) return;
  // Bounded: while a library is being unloaded the thread may not be able to finish its exit.
  WaitForSingleObject(thread, milliseconds);
  CloseHandle(thread);
}

DWORD WINAPI CNotificationWorker::ThreadProc(LPVOID self) {
  static_cast<CNotificationWorker*>(self)->Run();
  return 0;
}

void CNotificationWorker::Run() {
  // Our own thread: it needs COM for the enumerator work, and a trace registration for its lines.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    CQKTraceInit trace(TraceInitEx(nullptr, 0, nullptr, kTraceLevelWarning, true));
    for (;;) {
      Task task;
      {
        std::unique_lock lock(m_Lock);
        m_Changed.wait(lock, [this] { return m_Stopping || !m_Tasks.empty(); });
        if (m_Stopping) break;
        task = std::move(m_Tasks.front());
        m_Tasks.pop_front();
      }
      try {
        task();
      } catch (...) {
        Trace(kTraceLevelError, kTraceAllContexts,
              "%s() - Notification work failed with an exception\n", "CNotificationWorker::Run");
      }
      {
        std::lock_guard lock(m_Lock);
        if (!m_Stopping) --m_Busy;
      }
      m_Changed.notify_all();
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace halvern
