// The library's entry routine. The application object is a static: the C runtime constructs it
// before this runs and destroys it after the last detach.
#include "api/halvern_vad_api_app.h"
#include "platform/win32.h"

// Per-thread attach and detach calls are of no use to us; switching them off is all we do here.
// https://learn.microsoft.com/windows/win32/api/libloaderapi/nf-libloaderapi-disablethreadlibrarycalls
// A detach with a non-null reserved argument means the process is ending, and then a DLL should
// free nothing (https://learn.microsoft.com/windows/win32/dlls/dllmain): stopping the audio
// clients whose threads the system has already ended never returns. The runtime calls this before
// it runs the library's exit handlers, which therefore skip closing the router.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) halvern::NoteProcessEnding();
  return TRUE;
}
