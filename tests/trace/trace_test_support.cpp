#include "trace/trace_test_support.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/scoped_resources.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

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
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::string out;
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
  return thread != nullptr ? *thread : QKDEBUG_THREAD_INFO{};
}

void TraceTest::Start(std::uint32_t flags, int level, std::int32_t prefixMode,
                      const std::filesystem::path& logFile) {
  const platform::WString path = Wide(logFile);
  ASSERT_EQ(TraceInitEx(nullptr, flags, logFile.empty() ? nullptr : path.c_str(), level, true), 1);
  EditThread([prefixMode](QKDEBUG_THREAD_INFO& thread) { thread.prefixMode = prefixMode; });
  m_Debug.Clear();
}

#if defined(_WIN32)

CChildProcess::CChildProcess(const std::string& program,
                             const std::vector<std::string>& arguments) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path exe = std::filesystem::path(self).parent_path() / (program + ".exe");
  std::wstring command = L"\"" + exe.wstring() + L"\"";
  for (const std::string& argument : arguments) {
    const platform::WString wide = platform::Utf8ToUtf16(argument);
    command += L" \"" + std::wstring(wide.begin(), wide.end()) + L"\"";
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (CreateProcessW(exe.wstring().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    m_Process = info.hProcess;
    id = info.dwProcessId;
  }
}

int CChildProcess::Wait(DWORD timeoutMs) {
  if (m_Process == nullptr || WaitForSingleObject(m_Process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_Process, &code);
  return static_cast<int>(code);
}

void CChildProcess::Kill() {
  if (m_Process == nullptr) return;
  TerminateProcess(m_Process, 99);  // fails harmlessly on a child that has ended
  WaitForSingleObject(m_Process, INFINITE);
  CloseHandle(m_Process);
  m_Process = nullptr;
}

#else

CChildProcess::CChildProcess(const std::string& program,
                             const std::vector<std::string>& arguments) {
  std::vector<std::string> strings{
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / program).string()};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
    m_Pid = pid;
    id = static_cast<DWORD>(pid);
  }
}

int CChildProcess::Wait(DWORD timeoutMs) {
  if (m_Pid <= 0) return -1;
  int status = 0;
  pid_t done = 0;
  WaitUntil([&] { return (done = ::waitpid(m_Pid, &status, WNOHANG)) != 0; },
            std::chrono::milliseconds(timeoutMs));
  if (done != m_Pid) return -1;
  m_Pid = -1;
  if (WIFSIGNALED(status)) std::fprintf(stderr, "child ended by signal %d\n", WTERMSIG(status));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CChildProcess::Kill() {
  if (m_Pid <= 0) return;
  ::kill(m_Pid, SIGKILL);
  int status = 0;
  ::waitpid(m_Pid, &status, 0);
  m_Pid = -1;
}

#endif

}  // namespace halvern::testing
