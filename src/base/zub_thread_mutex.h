// The processing library's one lock: a recursive critical section, and the scoped lock that takes
// it.
#pragma once

#include "platform/win32.h"

namespace halvern {

class CZubThreadMutex {
 public:
  CZubThreadMutex();
  CZubThreadMutex(const CZubThreadMutex&) = delete;
  CZubThreadMutex& operator=(const CZubThreadMutex&) = delete;
  virtual ~CZubThreadMutex();

  virtual void Lock();
  virtual void Unlock();
  // True when the section was acquired (always, for the thread that already holds it).
  virtual bool TryLock();

 private:
  CRITICAL_SECTION m_Section;
};

class CZubThreadMutexLock {
 public:
  explicit CZubThreadMutexLock(CZubThreadMutex& mutex);
  CZubThreadMutexLock(const CZubThreadMutexLock&) = delete;
  CZubThreadMutexLock& operator=(const CZubThreadMutexLock&) = delete;
  virtual ~CZubThreadMutexLock();

 private:
  CZubThreadMutex& m_Mutex;
  bool m_Locked;
};

}  // namespace halvern
