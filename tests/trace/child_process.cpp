#include "trace/child_process.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/utf16.h"
#include "support/wait_until.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace halvern::testing {

namespace {

std::filesystem::path TestBinaryFolder() {
#if defined(_WIN32)
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path();
#else
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

}  // namespace

#if defined(_WIN32)

CChildProcess::CChildProcess(const std::string& program,
                             const std::vector<std::string>& arguments) {
  const std::filesystem::path exe = TestBinaryFolder() / (program + ".exe");
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
    m_Id = info.dwProcessId;
  }
}

CChildProcess::~CChildProcess() {
  if (m_Process == nullptr) return;
  if (WaitForSingleObject(m_Process, 0) == WAIT_TIMEOUT) Kill();
  CloseHandle(m_Process);
}

bool CChildProcess::Started() const { return m_Process != nullptr; }

int CChildProcess::Wait(DWORD timeoutMs) {
  if (m_Process == nullptr || WaitForSingleObject(m_Process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_Process, &code);
  return static_cast<int>(code);
}

void CChildProcess::Kill() {
  if (m_Process == nullptr) return;
  TerminateProcess(m_Process, 99);
  WaitForSingleObject(m_Process, INFINITE);
}

#else

CChildProcess::CChildProcess(const std::string& program,
                             const std::vector<std::string>& arguments) {
  const std::string exe = (TestBinaryFolder() / program).string();
  std::vector<std::string> strings{exe};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) == 0) {
    m_Pid = pid;
    m_Id = static_cast<DWORD>(pid);
  }
}

CChildProcess::~CChildProcess() {
  if (m_Pid > 0) Kill();
}

bool CChildProcess::Started() const { return m_Id != 0; }

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

DWORD CChildProcess::Id() const { return m_Id; }

}  // namespace halvern::testing
