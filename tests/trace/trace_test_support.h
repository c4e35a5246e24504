// A trace block, a temporary folder and captured debugger output of each test's own, and the
// helper programs that trace from other processes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/utf16.h"
#include "platform/win32.h"
#include "support/debug_capture.h"
#include "support/wait_until.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace halvern::testing {

platform::WString Wide(const std::filesystem::path& path);
std::string ReadText(const std::filesystem::path& path);  // "\r\n" read as "\n"
void WriteText(const std::filesystem::path& path, const std::string& text);

// Whether the shared block of that name exists anywhere on the machine.
bool BlockExists(const std::string& name);

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs `change` on the calling thread's entry under the block lock.
  void EditThread(const std::function<void(QKDEBUG_THREAD_INFO&)>& change);
  // A copy of the thread's entry; all zero when it has none.
  QKDEBUG_THREAD_INFO SnapshotThread(DWORD threadId = GetCurrentThreadId());

  // Registers the calling thread as the process's first (flags, log file, level; quiet) and sets
  // its prefix mode; debugger output captured so far is dropped.
  void Start(std::uint32_t flags, int level, std::int32_t prefixMode,
             const std::filesystem::path& logFile = {});

  std::string m_BlockName;
  std::filesystem::path m_Folder;
  DebugCapture m_Debug;
};

// One of the helper programs built next to the test binary (`program` without extension), run as
// a separate process; killed when still running at the end.
class CChildProcess {
 public:
  CChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~CChildProcess() { Kill(); }
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // The exit code, or -1 when the child did not end within the timeout or was killed.
  int Wait(DWORD timeoutMs);
  void Kill();

  DWORD id = 0;  // 0 when the child did not start

 private:
#if defined(_WIN32)
  HANDLE m_Process = nullptr;
#else
  int m_Pid = -1;
#endif
};

}  // namespace halvern::testing
