// Named shared memory (file mappings) and named mutexes for non-Windows builds.
//
// Both live in POSIX shared memory under the given name and have the Windows lifetime: the object
// exists while any process holds a handle (or a view) to it and is removed when the last one goes,
// also when that process was killed. The mutex is recursive, shared between processes and robust:
// a wait that finds its owner dead returns WAIT_ABANDONED, as on Windows.
#pragma once

#include "platform/posix/kernel.h"
#include "platform/posix/types.h"

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;

// Only page-file backed mappings (file == INVALID_HANDLE_VALUE) with a name are supported. Sets
// ERROR_ALREADY_EXISTS when the mapping existed before.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
// Null with ERROR_FILE_NOT_FOUND when no process holds the mapping.
HANDLE OpenFileMappingW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
// A view keeps the mapping alive after its handle is closed, as on Windows.
LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID address);

// Waits go through WaitForSingleObject (a mutex cannot join WaitForMultipleObjects here).
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
