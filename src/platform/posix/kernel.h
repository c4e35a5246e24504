// Kernel objects, threads, time and process information for non-Windows builds, with the Windows
// semantics the library relies on (see kernel.cpp for the model behind the handles).
#pragma once

#include "platform/posix/types.h"

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_ABANDONED = 0x00000080u;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
constexpr DWORD CREATE_EVENT_MANUAL_RESET = 0x00000001u;
constexpr DWORD CREATE_EVENT_INITIAL_SET = 0x00000002u;
constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD EVENT_MODIFY_STATE = 0x00000002u;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003u;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr DWORD ERROR_INVALID_TASK_NAME = 1550;
constexpr DWORD ERROR_INVALID_TASK_INDEX = 1551;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// A recursive lock. The implementation object is created by InitializeCriticalSection(Ex) and
// freed by DeleteCriticalSection, never on the lock path.
struct CRITICAL_SECTION {
  void* impl;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

DWORD GetLastError();
void SetLastError(DWORD error);

// Handles: events, threads, mutexes and file mappings. CloseHandle drops one reference; a thread
// handle stays waitable after the thread has ended.
BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
// The handle has exactly the access asked for: waiting needs SYNCHRONIZE, SetEvent and ResetEvent
// need EVENT_MODIFY_STATE (ERROR_ACCESS_DENIED otherwise). Names are not supported here.
// https://learn.microsoft.com/en-us/windows/win32/sync/synchronization-object-security-and-access-rights
HANDLE CreateEventExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags,
                      DWORD desiredAccess);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

void InitializeCriticalSection(LPCRITICAL_SECTION section);
BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION section, DWORD spinCount, DWORD flags);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);

void Sleep(DWORD milliseconds);
DWORD timeGetTime();
DWORD GetTickCount();
ULONGLONG GetTickCount64();
void GetLocalTime(SYSTEMTIME* time);
void GetSystemTime(SYSTEMTIME* time);

// Debugger output: silent unless HALVERN_DEBUG_OUTPUT=stderr is set; tests capture it through
// platform/debug_output.h on every platform.
void OutputDebugStringA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);

// The current thread's stack, [low, high); true when the bounds are known.
BOOL GetCurrentThreadStackLimits(ULONG_PTR* lowLimit, ULONG_PTR* highLimit);

// MMCSS: the task must be one Windows defines by default (ERROR_INVALID_TASK_NAME otherwise); the
// registration changes no scheduling here.
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR taskName, LPDWORD taskIndex);
BOOL AvRevertMmThreadCharacteristics(HANDLE avrtHandle);
