// A second tracing process for the trace tests.
//   trace_helper share <block> <log file> <lines> <go file>
//     registers with file output to the log, waits for the go file, writes the lines, leaves.
//   trace_helper hold <block> <ready file>
//     registers, takes the block mutex, creates the ready file and waits to be killed.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/utf16.h"
#include "support/wait_until.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace {

using namespace halvern;

int Share(const std::string& logFile, int lines, const std::filesystem::path& goFile) {
  const platform::WString log = platform::Utf8ToUtf16(logFile);
  if (TraceInitEx(nullptr, kTraceToFile, log.c_str(), kTraceLevelWarning, true) != 1) return 2;
  if (!testing::WaitUntil([&] { return std::filesystem::exists(goFile); },
                          std::chrono::seconds(60)))
    return 3;
  for (int i = 0; i < lines; ++i) Trace(kTraceLevelError, kTraceAllContexts, "child line %d", i);
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  return 0;
}

int Hold(const std::filesystem::path& readyFile) {
  if (TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelWarning, true) != 1) return 2;
  CTraceBlockLock lock(false);
  std::ofstream(readyFile) << "holding";
  std::this_thread::sleep_for(std::chrono::seconds(60));
  return 3;  // should have been killed long before
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const std::string mode = argv[1];
  TraceUseSharedBlockName(argv[2]);
  if (mode == "share" && argc == 6) return Share(argv[3], std::stoi(argv[4]), argv[5]);
  if (mode == "hold" && argc == 4) return Hold(argv[3]);
  return 1;
}
