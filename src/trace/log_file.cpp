#include "trace/log_file.h"

#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "trace/debug_print.h"

namespace halvern {

namespace {

using platform::WString;

constexpr int kLogGenerations = 10;
constexpr std::size_t kMaxExtensionChars = 63;
constexpr char kLogFolderName[] = "Halvern";
#if defined(_WIN32)
constexpr WCHAR kPathSeparator = '\\';
#else
constexpr WCHAR kPathSeparator = '/';
#endif

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

std::size_t FileNameStart(const WString& path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1])) return i;
  return 0;
}

// The extension as the Windows path helpers see it: from the last dot of the file name on.
std::size_t ExtensionStart(const WString& path) {
  const std::size_t dot = path.rfind('.');
  return dot == WString::npos || dot < FileNameStart(path) ? path.size() : dot;
}

WString GenerationName(const WString& base, const WString& extension, int generation) {
  if (generation == 0) return base + extension;
  char number[8];
  std::snprintf(number, sizeof(number), "%02d", generation);
  return base + platform::Utf8ToUtf16(number) + extension;
}

#if defined(_WIN32)

// ProgramData's inherited access rules protect the folder; a junction or link planted in its
// place is refused.
// https://learn.microsoft.com/en-us/windows/win32/fileio/reparse-points
bool MakeLogFolder(const WString& folder) {
  CreateDirectoryW(folder.c_str(), nullptr);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

#else

// The common data folder is shared by every user. The Halvern folder below it is trusted only
// when it is a real directory (not a link), owned by us or by root and writable by its owner
// alone: then nobody else can plant a link among the log files.
bool MakeLogFolder(const WString& folder) {
  const std::string path = platform::Utf16ToUtf8(folder.c_str(), folder.size());
  ::mkdir(path.c_str(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool trusted = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) &&
                       (info.st_uid == ::geteuid() || info.st_uid == 0) &&
                       (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  ::close(fd);
  return trusted;
}

#endif

}  // namespace

WString DefaultTraceLogPath(const WString& commonDataFolder) {
  if (commonDataFolder.empty()) return WString();
  WString folder = commonDataFolder;
  if (!IsSeparator(folder.back())) folder += kPathSeparator;
  folder += platform::Utf8ToUtf16(kLogFolderName);
  if (!MakeLogFolder(folder)) {
    DebugPrint("%s ERROR: log folder %s is not safe to write; no log file",
               TraceCallPrefix("TraceInitInternal").text,
               platform::Utf16ToUtf8(folder.c_str(), folder.size()).c_str());
    return WString();
  }
  WCHAR module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  const WString executable(module, length < MAX_PATH ? length : 0);
  return folder + kPathSeparator + executable.substr(FileNameStart(executable)) +
         platform::Utf8ToUtf16(".log");
}

void RotateTraceLogs(const WCHAR* path) {
  const WString current(path);
  const std::size_t dot = ExtensionStart(current);
  const WString base = current.substr(0, dot);
  const WString extension = current.substr(dot, kMaxExtensionChars);
  for (int generation = kLogGenerations; generation >= 0; --generation) {
    const WString name = GenerationName(base, extension, generation);
    if (generation == kLogGenerations)
      _wremove(name.c_str());
    else
      _wrename(name.c_str(), GenerationName(base, extension, generation + 1).c_str());
  }
}

void AppendTraceLog(const WCHAR* path, const WCHAR* text, std::size_t length) noexcept {
  if (path[0] == 0 || length == 0) return;
#if defined(_WIN32)
  constexpr WCHAR kAppendCommitMode[] = {'a', 'c', 0};
  FILE* file = nullptr;
  if (_wfopen_s(&file, path, kAppendCommitMode) != 0 || file == nullptr) return;
  fputws(text, file);
  std::fclose(file);
#else
  try {
    const std::string utf8 = platform::Utf16ToUtf8(text, length);
    // A link in place of the log is never followed.
    const int fd = ::open(platform::Utf16ToUtf8(path).c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
    if (fd < 0) return;
    for (std::size_t written = 0; written < utf8.size();) {
      const ssize_t count = ::write(fd, utf8.data() + written, utf8.size() - written);
      if (count <= 0) break;
      written += static_cast<std::size_t>(count);
    }
    ::close(fd);
  } catch (...) {  // out of memory: this batch is dropped like that of an unwritable file
  }
#endif
}

}  // namespace halvern
