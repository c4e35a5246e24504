// Function-scope trace of the processing library: an enter line when constructed and a leave line
// with the elapsed milliseconds when destroyed, indented by the calling thread's nesting depth.
#pragma once

#include <cstdint>

#include "base/zub_log.h"

namespace halvern {

class CZubFunctionTrace {
 public:
  CZubFunctionTrace(const CZubLogModuleDescriptor& module, const char* functionName);
  CZubFunctionTrace(const CZubFunctionTrace&) = delete;
  CZubFunctionTrace& operator=(const CZubFunctionTrace&) = delete;
  ~CZubFunctionTrace();

 private:
  char m_Tag[32];
  char m_Function[256];
  int m_Level;
  std::uint32_t m_StartMs;
  bool m_Enabled;
  std::int32_t m_ThreadId;
  const CZubLogModuleDescriptor* m_Module;
};

// The per-thread nesting table lives from start-up to exit; these objects create and destroy
// its two parts in the order of the start-up sequence.
struct CZubNestingMapLifetime {
  CZubNestingMapLifetime();
  ~CZubNestingMapLifetime();
};
struct CZubNestingMutexLifetime {
  CZubNestingMutexLifetime();
  ~CZubNestingMutexLifetime();
};

// The nesting depth recorded for a thread, or -1 when the thread has no entry.
int ZubNestingDepth(std::int32_t threadId);

}  // namespace halvern
