// Process information, module names, folders and C runtime file functions with UTF-16 names for
// non-Windows builds.
#pragma once

#include <cstdio>

#include "platform/posix/kernel.h"
#include "platform/posix/types.h"

using HMODULE = void*;
using HWND = void*;
using errno_t = int;

constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_VM_READ = 0x0010;
constexpr DWORD MAX_PATH = 260;

struct PROCESS_MEMORY_COUNTERS {
  DWORD cb;
  DWORD PageFaultCount;
  SIZE_T PeakWorkingSetSize;
  SIZE_T WorkingSetSize;
  SIZE_T QuotaPeakPagedPoolUsage;
  SIZE_T QuotaPagedPoolUsage;
  SIZE_T QuotaPeakNonPagedPoolUsage;
  SIZE_T QuotaNonPagedPoolUsage;
  SIZE_T PagefileUsage;
  SIZE_T PeakPagefileUsage;
};
using PPROCESS_MEMORY_COUNTERS = PROCESS_MEMORY_COUNTERS*;

// A handle to a live process (null with ERROR_INVALID_PARAMETER when there is none).
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// The working set is the resident set of the process.
BOOL K32GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb);

// The path of the running executable (module null); 0 on failure.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// CSIDL_COMMON_APPDATA is /var/tmp: machine-wide, writable by every user and kept across
// reboots, as the Windows folder is.
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);

// File names and text are UTF-16; the file holds UTF-8.
errno_t _wfopen_s(FILE** file, LPCWSTR fileName, LPCWSTR mode);
int fputws(LPCWSTR text, FILE* file);
int _wremove(LPCWSTR fileName);
int _wrename(LPCWSTR oldName, LPCWSTR newName);
