// The crash-dump export: a thin face over the internal function, which never throws.
#include "kovra_api.h"
#include "trace/dump_call_stack.h"

extern "C" KOVRA_API int KOVRA_CALL KovraApi_Dump_GetCallStackFromMemoryDump(
    const KovraChar16* dumpPath, CallStackFrameRecord* frames, int maxFrames, int* frameCount) {
  return halvern::DumpGetCallStackFromMemoryDump(dumpPath, frames, maxFrames, frameCount);
}
