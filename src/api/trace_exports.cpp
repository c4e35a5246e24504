// The trace exports: each is one call into the trace library, which neither throws nor allocates.
#include "kovra_api.h"
#include "trace/host_trace.h"

using namespace halvern;

extern "C" {

KOVRA_API void KOVRA_CALL KovraApi_Trace_Init(void) { HostTraceInit(); }

KOVRA_API void KOVRA_CALL KovraApi_Trace_Terminate(void) { HostTraceTerminate(); }

KOVRA_API void KOVRA_CALL KovraApi_Trace_SetVerboseLevel(uint32_t level) {
  HostTraceSetVerboseLevel(level);
}

KOVRA_API void KOVRA_CALL KovraApi_Trace_In(const KovraChar16* text) { HostTraceIn(text); }

KOVRA_API void KOVRA_CALL KovraApi_Trace_Out(const KovraChar16* text) { HostTraceOut(text); }

KOVRA_API void KOVRA_CALL KovraApi_Trace_Level(uint32_t level, const KovraChar16* text) {
  HostTraceLevel(level, text);
}

KOVRA_API void KOVRA_CALL KovraApi_Trace_Raw(uint32_t level, const KovraChar16* text) {
  HostTraceRaw(level, text);
}

}  // extern "C"
