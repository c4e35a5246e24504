/* A Windows host of the library for the end-to-end run: loads HalvernVAD_Router.dll by name, uses
 * only its exports, starts the capturer, adds the render endpoints whose friendly names contain the
 * given texts, routes for a while and stops. Prints what it did; exits non-zero at the first export
 * that answers other than a working library must.
 *
 *   halvern_e2e_host MAX_SECONDS LATENCY_MS [NAME ...]   (no NAME: routes to nothing)
 *
 * It prints "routing" once routing runs and stops when the file e2e.stop appears in the current
 * folder, or after MAX_SECONDS. */
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "kovra_api.h"

#define EXPORTS(X) KOVRA_API_EXPORTS(X)
// clang-format on

#define DECLARE(name) static __typeof__(&name) p_##name;
EXPORTS(DECLARE)

#define MAX_OUTPUTS 64
static DeviceEndpointRecord g_outputs[MAX_OUTPUTS];
static unsigned g_outputCount;
static float g_values[2];
static int g_valuesEvent;

static void KOVRA_CALL OnEvent(int32_t event, void* data) {
  if (event == OutputDevices) {
    const DeviceList* list = (const DeviceList*)data;
    g_outputCount = list->count < MAX_OUTPUTS ? list->count : MAX_OUTPUTS;
    memcpy(g_outputs, list->records, g_outputCount * sizeof(DeviceEndpointRecord));
  } else if (event == PeakValues || event == GainValues) {
    memcpy(g_values, data, sizeof g_values);
    g_valuesEvent = event;
  } else {
    printf("event %d\n", (int)event);
  }
}

static int Fail(const char* what, unsigned value) {
  printf("FAILED: %s (%u)\n", what, value);
  fflush(stdout);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("usage: %s SECONDS LATENCY_MS [NAME ...]\n", argv[0]);
    return 2;
  }
  const int seconds = atoi(argv[1]);
  const unsigned latency = (unsigned)atoi(argv[2]);
  CoInitializeEx(NULL, COINIT_MULTITHREADED); /* the library never does */

  HMODULE library = LoadLibraryW(L"HalvernVAD_Router.dll");
  if (!library) return Fail("LoadLibraryW HalvernVAD_Router.dll", (unsigned)GetLastError());
#define RESOLVE(name)                                                           \
  p_##name = (__typeof__(&name))(void (*)(void))GetProcAddress(library, #name); \
  if (!p_##name) return Fail("GetProcAddress " #name, 0);
  EXPORTS(RESOLVE)

  p_KovraApi_Initialize(L"halvern_e2e.log");
  p_KovraApi_SetKovraDelegate(OnEvent);
  unsigned code = p_KovraApi_StartCapturer(latency);
  if (code != ResultOk) return Fail("KovraApi_StartCapturer", code);
  if (!p_KovraApi_GetAudioOutputDevices()) return Fail("KovraApi_GetAudioOutputDevices", 0);
  /* The capturer starts the router; devices are added while it is stopped. */
  code = p_KovraApi_EnableRouting(false, false);
  if (code != ResultOk) return Fail("KovraApi_EnableRouting(false, false)", code);

  for (int a = 3; a < argc; ++a) {
    wchar_t name[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[a], -1, name, 256);
    unsigned i = 0;
    while (i < g_outputCount && !wcsstr(g_outputs[i].friendlyName, name)) ++i;
    if (i == g_outputCount) return Fail(argv[a], 404);
    code = p_KovraApi_AddDevice(g_outputs[i].id, latency);
    printf("added %ls: %u\n", g_outputs[i].friendlyName, code);
    fflush(stdout);
    if (code != ResultOk) return Fail("KovraApi_AddDevice", code);
  }
  code = p_KovraApi_EnableRouting(true, false);
  if (code != ResultOk) return Fail("KovraApi_EnableRouting(true)", code);
  printf("routing\n");
  fflush(stdout);

  for (int tick = 0; tick < seconds * 2; ++tick) {
    if (GetFileAttributesA("e2e.stop") != INVALID_FILE_ATTRIBUTES) break;
    Sleep(500);
    if (p_KovraApi_GetPeakValues() && g_valuesEvent == PeakValues)
      printf("peaks %.1f %.1f dB\n", g_values[0], g_values[1]);
    fflush(stdout);
  }

  /* Wine has no per-channel endpoint volume: the gain exports must say so, not crash. */
  const float gains[2] = {-3.0f, -3.0f};
  printf("GetGain %d, SetGain %d\n", p_KovraApi_GetGain(), p_KovraApi_SetGain(gains));

  code = p_KovraApi_EnableRouting(false, true);
  if (code != ResultOk) return Fail("KovraApi_EnableRouting(false)", code);
  printf("done\n");
  return 0;
}
