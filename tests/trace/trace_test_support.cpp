#include "trace/trace_test_support.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/scoped_resources.h"

namespace halvern::testing {

platform::WString Wide(const std::filesystem::path& path) {
#if defined(_WIN32)
  return path.wstring();
#else
  return path.u16string();
#endif
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool BlockExists(const std::string& name) {
  return platform::CScopedHandle(
             OpenFileMappingW(FILE_MAP_READ, FALSE, platform::Utf8ToUtf16(name).c_str()))
      .IsValid();
}

void TraceTest::SetUp() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string unique =
      std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
  m_BlockName = "QKDEBUG_TEST_" + unique;
  TraceUseSharedBlockName(m_BlockName);
  m_Folder =
      std::filesystem::temp_directory_path() / ("halvern_trace_" + unique + "_" + info->name());
  std::filesystem::create_directories(m_Folder);
  TraceSetCommonDataFolder(m_Folder.string());
}

void TraceTest::TearDown() {
  // End every registration this process still holds, so the block goes with the test.
  for (;;) {
    DWORD registered = 0;
    {
      CTraceBlockLock lock(false);
      QKDEBUG_PROC_INFO* process =
          QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), false, false);
      if (process != nullptr && process->referenceCount > 0)
        for (const QKDEBUG_THREAD_INFO& thread : process->threads)
          if (thread.threadId != 0 && thread.referenceCount > 0) registered = thread.threadId;
    }
    if (registered == 0) break;
    TraceTerminateThread(registered, true, true);
  }
  TraceUseSharedBlockName("");
  TraceSetCommonDataFolder("");
  std::error_code ignored;
  std::filesystem::remove_all(m_Folder, ignored);
}

void TraceTest::EditThread(const std::function<void(QKDEBUG_THREAD_INFO&)>& change) {
  CTraceBlockLock lock(false);
  QKDEBUG_THREAD_INFO* thread = QKDEBUG_GetThreadInfoPtr(lock.Block(), GetCurrentProcessId(),
                                                         GetCurrentThreadId(), false, false);
  ASSERT_NE(thread, nullptr);
  change(*thread);
  TraceNoteSettingsChanged();
}

QKDEBUG_THREAD_INFO TraceTest::SnapshotThread(DWORD threadId) {
  CTraceBlockLock lock(false);
  const QKDEBUG_THREAD_INFO* thread =
      QKDEBUG_GetThreadInfoPtr(lock.Block(), GetCurrentProcessId(), threadId, false, false);
  QKDEBUG_THREAD_INFO copy{};
  if (thread != nullptr) copy = *thread;
  return copy;
}

bool TraceTest::HasThread(DWORD threadId) {
  CTraceBlockLock lock(false);
  return QKDEBUG_GetThreadInfoPtr(lock.Block(), GetCurrentProcessId(), threadId, false, false) !=
         nullptr;
}

void TraceTest::Start(std::uint32_t flags, int level, std::int32_t prefixMode,
                      const std::filesystem::path& logFile) {
  const platform::WString path = Wide(logFile);
  ASSERT_EQ(TraceInitEx(nullptr, flags, logFile.empty() ? nullptr : path.c_str(), level, true), 1);
  EditThread([prefixMode](QKDEBUG_THREAD_INFO& thread) { thread.prefixMode = prefixMode; });
  m_Debug.Clear();
}

}  // namespace halvern::testing
