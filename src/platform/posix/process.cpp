#include "platform/posix/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/posix/kernel_object.h"
#include "platform/utf16.h"

using halvern::platform::FromHandle;
using halvern::platform::KernelObject;
using halvern::platform::Utf16Length;
using halvern::platform::Utf16ToUtf8;
using halvern::platform::Utf8ToUtf16;
using halvern::platform::WString;

namespace {

constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr char kCommonDataFolder[] = "/var/tmp";

class ProcessObject final : public KernelObject {
 public:
  explicit ProcessObject(pid_t id) : m_Id(id) {
    char path[48];
    std::snprintf(path, sizeof(path), "/proc/%d/statm", static_cast<int>(id));
    m_Statm = ::open(path, O_RDONLY | O_CLOEXEC);
  }
  ~ProcessObject() override {
    if (m_Statm >= 0) ::close(m_Statm);
  }
  pid_t id() const { return m_Id; }
  // Kept open: reading it again from the start is one system call.
  int statm() const { return m_Statm; }

 private:
  pid_t m_Id;
  int m_Statm;
};

// Copies with truncation, always terminated; returns the characters copied.
DWORD CopyOut(const WString& text, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  const DWORD count = text.size() < size ? static_cast<DWORD>(text.size()) : size - 1;
  for (DWORD i = 0; i < count; ++i) out[i] = text[i];
  out[count] = 0;
  return count;
}

std::string FopenMode(LPCWSTR mode) {
  std::string out;
  for (const char c : Utf16ToUtf8(mode))
    if (c == 'r' || c == 'w' || c == 'a' || c == '+' || c == 'b') out += c;
  return out;
}

}  // namespace

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  const auto id = static_cast<pid_t>(processId);
  // The own process has one object that is never freed: tracing opens it for every line.
  static auto* const self = new ProcessObject(::getpid());
  if (id == self->id()) {
    self->Retain();
    return self;
  }
  if (id <= 0 || (::kill(id, 0) != 0 && errno != EPERM)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return new (std::nothrow) ProcessObject(id);
}

BOOL K32GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
  auto* object = dynamic_cast<ProcessObject*>(FromHandle(process));
  if (object == nullptr || counters == nullptr || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Plain system calls: the trace line path calls this and allocates nothing.
  char text[128] = {};
  const ssize_t length =
      object->statm() >= 0 ? ::pread(object->statm(), text, sizeof(text) - 1, 0) : -1;
  unsigned long long pages = 0, resident = 0;
  if (length <= 0 || std::sscanf(text, "%llu %llu", &pages, &resident) != 2) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const auto pageSize = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
  std::memset(counters, 0, sizeof(PROCESS_MEMORY_COUNTERS));
  counters->cb = sizeof(PROCESS_MEMORY_COUNTERS);
  counters->WorkingSetSize = static_cast<SIZE_T>(resident) * pageSize;
  counters->PagefileUsage = static_cast<SIZE_T>(pages) * pageSize;
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (module != nullptr || fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const WString wide = Utf8ToUtf16(std::string_view(path, static_cast<std::size_t>(length)));
  const DWORD copied = CopyOut(wide, fileName, size);
  SetLastError(copied < wide.size() ? kErrorInsufficientBuffer : ERROR_SUCCESS);
  return copied < wide.size() ? size : copied;
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  if (folder != CSIDL_COMMON_APPDATA || path == nullptr) return E_INVALIDARG;
  CopyOut(Utf8ToUtf16(kCommonDataFolder), path, MAX_PATH);
  return S_OK;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::mkdir(Utf16ToUtf8(path).c_str(), 0777) == 0) return TRUE;
  SetLastError(errno == EEXIST   ? ERROR_ALREADY_EXISTS
               : errno == ENOENT ? kErrorPathNotFound
                                 : ERROR_ACCESS_DENIED);
  return FALSE;
}

errno_t _wfopen_s(FILE** file, LPCWSTR fileName, LPCWSTR mode) {
  if (file == nullptr || fileName == nullptr || mode == nullptr) return EINVAL;
  *file = std::fopen(Utf16ToUtf8(fileName).c_str(), FopenMode(mode).c_str());
  return *file != nullptr ? 0 : errno;
}

int fputws(LPCWSTR text, FILE* file) {
  if (text == nullptr || file == nullptr) return -1;
  return std::fputs(Utf16ToUtf8(text, Utf16Length(text)).c_str(), file) >= 0 ? 0 : -1;
}

int _wremove(LPCWSTR fileName) { return std::remove(Utf16ToUtf8(fileName).c_str()); }

int _wrename(LPCWSTR oldName, LPCWSTR newName) {
  return std::rename(Utf16ToUtf8(oldName).c_str(), Utf16ToUtf8(newName).c_str());
}
