// The library's entry routine. The application object is a static: the C runtime constructs it
// before this runs and destroys it after the last detach.
#include "platform/win32.h"

// Per-thread attach and detach calls are of no use to us; switching them off is all we do here.
// https://learn.microsoft.com/windows/win32/api/libloaderapi/nf-libloaderapi-disablethreadlibrarycalls
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
