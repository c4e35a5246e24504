// The threads of this process registered with the trace library, other than the caller: the
// streaming threads of the endpoints a test or benchmark has started.
#pragma once

#include <vector>

#include "platform/win32.h"
#include "trace/trace_block.h"

namespace halvern::testing {

inline std::vector<DWORD> TracedThreadsBesidesThis() {
  std::vector<DWORD> ids;
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* process =
      QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), false, false);
  if (process == nullptr) return ids;
  for (const QKDEBUG_THREAD_INFO& thread : process->threads)
    if (thread.threadId != 0 && thread.referenceCount > 0 &&
        thread.threadId != GetCurrentThreadId())
      ids.push_back(thread.threadId);
  return ids;
}

}  // namespace halvern::testing
