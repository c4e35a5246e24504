#include "base/zub_thread_mutex.h"

namespace halvern {

CZubThreadMutex::CZubThreadMutex() { InitializeCriticalSectionEx(&m_Section, 0, 0); }

CZubThreadMutex::~CZubThreadMutex() { DeleteCriticalSection(&m_Section); }

void CZubThreadMutex::Lock() { EnterCriticalSection(&m_Section); }

void CZubThreadMutex::Unlock() { LeaveCriticalSection(&m_Section); }

bool CZubThreadMutex::TryLock() { return TryEnterCriticalSection(&m_Section) != FALSE; }

CZubThreadMutexLock::CZubThreadMutexLock(CZubThreadMutex& mutex) : m_Mutex(mutex), m_Locked(false) {
  m_Mutex.Lock();
  m_Locked = true;
}

CZubThreadMutexLock::~CZubThreadMutexLock() {
  if (m_Locked) m_Mutex.Unlock();
  m_Locked = false;
}

}  // namespace halvern
