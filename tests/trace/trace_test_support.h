// A trace block, a temporary folder and captured debugger output of each test's own.
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
  QKDEBUG_THREAD_INFO SnapshotThread(DWORD threadId = GetCurrentThreadId());
  bool HasThread(DWORD threadId);

  // Registers the calling thread as the process's first (flags, log file, level; quiet) and sets
  // its prefix mode; debugger output captured so far is dropped.
  void Start(std::uint32_t flags, int level, std::int32_t prefixMode,
             const std::filesystem::path& logFile = {});

  std::string m_BlockName;
  std::filesystem::path m_Folder;
  DebugCapture m_Debug;
};

}  // namespace halvern::testing
