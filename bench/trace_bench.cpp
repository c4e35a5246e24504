// Cost of trace calls on the calling thread: a call the filter drops, and a line that goes to
// the log file (the writer thread does the disk work).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "platform/utf16.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace {

using namespace halvern;

// A block and a log of the benchmark's own, file output only.
class CBenchTrace {
 public:
  explicit CBenchTrace(std::int32_t prefixMode) {
    const std::string unique = std::to_string(GetCurrentProcessId());
    TraceUseSharedBlockName("QKDEBUG_BENCH_" + unique);
    m_Folder = std::filesystem::temp_directory_path() / ("halvern_trace_bench_" + unique);
    std::filesystem::create_directories(m_Folder);
#if defined(_WIN32)
    const std::wstring log = (m_Folder / "bench.log").wstring();
#else
    const std::u16string log = (m_Folder / "bench.log").u16string();
#endif
    TraceInitEx(nullptr, kTraceToFile, log.c_str(), kTraceLevelWarning, true);
    CTraceBlockLock lock(false);
    QKDEBUG_THREAD_INFO* thread = QKDEBUG_GetThreadInfoPtr(lock.Block(), GetCurrentProcessId(),
                                                           GetCurrentThreadId(), false, false);
    if (thread != nullptr) thread->prefixMode = prefixMode;
    TraceNoteSettingsChanged();
  }
  ~CBenchTrace() {
    TraceTerminateThread(GetCurrentThreadId(), true, true);
    TraceUseSharedBlockName("");
    std::error_code ignored;
    std::filesystem::remove_all(m_Folder, ignored);
  }

 private:
  std::filesystem::path m_Folder;
};

void BM_TraceFilteredOut(benchmark::State& state) {
  CBenchTrace trace(kTraceDefaultPrefixMode);
  int value = 0;
  for (auto _ : state) Trace(kTraceLevelInOut, kTraceAllContexts, "value %d", ++value);
}
BENCHMARK(BM_TraceFilteredOut);

void BM_TraceLineToFile(benchmark::State& state) {
  CBenchTrace trace(static_cast<std::int32_t>(state.range(0)));
  int value = 0;
  for (auto _ : state)
    Trace(kTraceLevelError, kTraceAllContexts, "CAudioRenderer::Start() - value %d", ++value);
}
// Full prefix (with the working-set figure), time only, none.
BENCHMARK(BM_TraceLineToFile)
    ->Arg(kTraceDefaultPrefixMode)
    ->Arg(kTracePrefixTimeOnly)
    ->Arg(kTracePrefixNone);

}  // namespace
