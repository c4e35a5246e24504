/* A host written in C: it loads the library by name at run time, resolves every export and drives
 * the whole calling sequence, as a real host would. The simulated machine around it is set up and
 * observed through the HostMachine_ functions (router_host_test.cpp). */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "kovra_api.h"

/* ---- The machine, from the C++ side ---- */
void HostMachine_Lock(void);
void HostMachine_Unlock(void);
const KovraChar16* HostMachine_Id(int which); /* 0 card capture, 1 card playback, 2 speakers,
                                                 3 headset render, 4 headset capture, 5.. extra */
const KovraChar16* HostMachine_LogPath(void);
int HostMachine_RenderEndpoints(void);
void HostMachine_FeedTone(double amplitude);
int HostMachine_SinkPlays(const KovraChar16* id);
int HostMachine_SinkGoesQuiet(const KovraChar16* id);
int HostMachine_CaptureStops(void);
void HostMachine_SetState(const KovraChar16* id, uint32_t state);
void HostMachine_SetDefault(int role, const KovraChar16* id); /* render endpoints */
void HostMachine_ChangeDeviceFormat(const KovraChar16* id);
int HostMachine_IsDefault(int role, const KovraChar16* id);
int HostMachine_IsVisible(const KovraChar16* id);
int HostMachine_LogHas(const char* text);
int HostMachine_Wait(int (*condition)(const void*), const void* argument);

/* ---- The exports, each typed as the header declares it ---- */
#define KOVRA_HOST_SLOT(name) static __typeof__(&name) p_##name;
KOVRA_API_EXPORTS(KOVRA_HOST_SLOT)
static char g_Failure[512];

/* ISO C has no cast from object to function pointers, so the address is copied bytewise. */
static int Resolve(void* library, const char* name, void* slot) {
  void* address = dlsym(library, name);
  if (address == NULL) snprintf(g_Failure, sizeof g_Failure, "missing export %s", name);
  memcpy(slot, &address, sizeof address);
  return address != NULL;
}
#define KOVRA_HOST_RESOLVE(name) ok = ok && Resolve(library, #name, &p_##name);

/* Loads the library by name as a host would, and resolves every export. */
static int Load(void) {
  void* library = dlopen("libHalvernVAD_Router.so", RTLD_NOW);
  int ok = library != NULL;
  if (!ok) snprintf(g_Failure, sizeof g_Failure, "not loaded: %s", dlerror());
  KOVRA_API_EXPORTS(KOVRA_HOST_RESOLVE)
  return ok;
}

/* ---- What the delegate saw ---- */
typedef struct Event {
  int32_t code;
  DeviceEndpointRecord record; /* event 5; only the id for events 1, 2, 3 */
  uint32_t count;              /* events 20, 21 */
  int listOk;                  /* events 20, 21: ascending, filled, flow set, card left out */
  float values[2];             /* events 30, 35 */
} Event;

static Event g_Events[512];
static int g_EventCount;
static int g_LastAnswer = -1; /* the last answer to a query (events 20, 21, 30, 35), written and
                                 read on the calling thread only */

static void CopyId(KovraChar16* to, const KovraChar16* from) {
  int n;
  for (n = 0; n < KOVRA_MAX_STRING && from[n] != 0; ++n) to[n] = from[n];
}
static int Compare16(const KovraChar16* a, const KovraChar16* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return (int)*a - (int)*b;
}
static int Contains16(const KovraChar16* text, const char* ascii) {
  size_t n = strlen(ascii), i, j;
  for (i = 0; text[i] != 0; ++i) {
    for (j = 0; j < n && text[i + j] == (KovraChar16)ascii[j]; ++j) {
    }
    if (j == n) return 1;
  }
  return 0;
}

static int ListOk(const DeviceList* list, uint32_t flow) {
  uint32_t i;
  for (i = 0; i < list->count; ++i) {
    const DeviceEndpointRecord* r = &list->records[i];
    if (Contains16(r->interfaceName, "Halvern Sound Capture") || r->dataFlow != flow ||
        r->sampleRate == 0 || r->channels == 0 || r->id[0] == 0 ||
        (i > 0 && Compare16(list->records[i - 1].id, r->id) >= 0))
      return 0;
  }
  return 1;
}

static void KOVRA_CALL HostDelegate(int32_t code, void* data) {
  Event* e;
  HostMachine_Lock();
  if (g_EventCount < (int)(sizeof g_Events / sizeof g_Events[0])) {
    e = &g_Events[g_EventCount++];
    memset(e, 0, sizeof *e);
    e->code = code;
    if (code == DeviceAdded || code == DeviceRemoved || code == DeviceFormatChanged)
      CopyId(e->record.id, (const KovraChar16*)data);
    else if (code == DefaultDeviceChanged)
      e->record = *(const DeviceEndpointRecord*)data;
    if (code >= OutputDevices) g_LastAnswer = g_EventCount - 1;
    if (code == OutputDevices || code == InputDevices) {
      e->count = ((const DeviceList*)data)->count;
      e->listOk = ListOk((const DeviceList*)data, code == InputDevices ? 1u : 0u);
    } else if (code == PeakValues || code == GainValues) {
      memcpy(e->values, data, sizeof e->values);
    }
  }
  HostMachine_Unlock();
}
#define LAST (&g_Events[g_LastAnswer])

static const Event* Find(int32_t code, const KovraChar16* id, int from) {
  const Event* found = NULL;
  HostMachine_Lock();
  for (; from < g_EventCount && found == NULL; ++from)
    if (g_Events[from].code == code && (id == NULL || Compare16(g_Events[from].record.id, id) == 0))
      found = &g_Events[from];
  HostMachine_Unlock();
  return found;
}

typedef struct Wanted {
  int32_t code;
  const KovraChar16* id; /* NULL: any */
  int from;              /* first event index to look at */
} Wanted;
static int Arrived(const void* w) {
  return Find(((const Wanted*)w)->code, ((const Wanted*)w)->id, ((const Wanted*)w)->from) != NULL;
}
static const Event* Await(int32_t code, const KovraChar16* id, int from) {
  const Wanted w = {code, id, from};
  return HostMachine_Wait(Arrived, &w) ? Find(code, id, from) : NULL;
}

static int Mark(void) {
  int n;
  HostMachine_Lock();
  n = g_EventCount;
  HostMachine_Unlock();
  return n;
}

static const char* Failed(int line, const char* condition) {
  snprintf(g_Failure, sizeof g_Failure, "line %d: %s", line, condition);
  return g_Failure;
}
#define CHECK(condition)                                   \
  do {                                                     \
    if (!(condition)) return Failed(__LINE__, #condition); \
  } while (0)

static int PeaksNear(const void* level) {
  const float want = *(const float*)level;
  return p_KovraApi_GetPeakValues() && LAST->code == PeakValues &&
         fabsf(LAST->values[0] - want) < 1.5f && fabsf(LAST->values[1] - want) < 1.5f;
}

/* ---- The calling sequence ---- */
const char* KovraHost_RunSequence(void) {
  const KovraChar16* speakers = HostMachine_Id(2);
  const KovraChar16* headset = HostMachine_Id(3);
  const KovraChar16* extra = HostMachine_Id(5);
  const float silence = -144.0f, tone = -6.0f, fullScale = 0.0f;
  const float outside[2] = {12.0f, -200.0f}, unity[2] = {0.0f, 0.0f};
  static DeviceEndpointRecord record; /* zeros */
  const Event* e;
  int mark, i;

  if (!Load()) return g_Failure;
  /* Zeros from the first packet on: packets flagged silent may carry anything, and the capture
   * thread meters them as they are. */
  HostMachine_FeedTone(0.0);
  CHECK(p_KovraApi_Initialize(HostMachine_LogPath()) == 0);
  p_KovraApi_SetKovraDelegate(HostDelegate);
  CHECK(p_KovraApi_StartCapturer(20) == ResultOk);

  /* Device lists: the virtual card left out, ascending ids, records filled. */
  CHECK(p_KovraApi_GetAudioOutputDevices());
  e = LAST;
  CHECK(e->code == OutputDevices && e->listOk && (int)e->count == HostMachine_RenderEndpoints());
  CHECK(p_KovraApi_GetAudioInputDevices());
  e = LAST;
  CHECK(e->code == InputDevices && e->listOk && e->count == 1);

  /* Bad input from C: the documented results, and no exception crosses into the host. */
  CHECK(p_KovraApi_AddDevice(speakers, 20) == ResultRouter); /* the capturer runs the router */
  CHECK(p_KovraApi_EnableRouting(false, false) == ResultOk);
  CHECK(p_KovraApi_AddDevice(NULL, 20) == ResultFailed);
  CHECK(p_KovraApi_RemoveDevice(NULL) == ResultOk);
  CHECK(p_KovraApi_ConfigureDeviceEndpoint(NULL) == ResultFailed);
  CHECK(!p_KovraApi_SetGain(NULL));
  CHECK(p_KovraApi_Dump_GetCallStackFromMemoryDump(NULL, NULL, 0, NULL) == 0);

  /* Meters of a card that delivers zeros, then three routed devices playing a tone. */
  CHECK(HostMachine_Wait(PeaksNear, &silence));
  CHECK(p_KovraApi_AddDevice(speakers, 20) == ResultOk);
  CHECK(p_KovraApi_AddDevice(headset, 20) == ResultOk);
  CHECK(p_KovraApi_AddDevice(extra, 20) == ResultOk);
  CHECK(p_KovraApi_EnableRouting(true, false) == ResultOk);
  CHECK(p_KovraApi_AddDevice(HostMachine_Id(6), 20) == ResultRouter); /* only while stopped */
  HostMachine_FeedTone(0.5);
  CHECK(HostMachine_SinkPlays(speakers) && HostMachine_SinkPlays(headset));
  CHECK(HostMachine_SinkPlays(extra));
  CHECK(HostMachine_Wait(PeaksNear, &tone));

  /* Gains: the device's volume, clamped to its range (-96..0 dB). */
  CHECK(p_KovraApi_SetGain(outside) && p_KovraApi_GetGain());
  e = LAST;
  CHECK(e->code == GainValues && e->values[0] == 0.0f && e->values[1] == -96.0f);
  CHECK(p_KovraApi_SetGain(unity));

  /* Hot-plug while routing: the unplugged headset stops, the others play on; an endpoint that
   * becomes active again is reported as added only. */
  mark = Mark();
  HostMachine_SetState(headset, 8 /* unplugged */);
  CHECK(Await(DeviceRemoved, headset, mark) != NULL);
  CHECK(HostMachine_SinkGoesQuiet(headset));
  CHECK(HostMachine_SinkPlays(speakers) && HostMachine_SinkPlays(extra));
  mark = Mark();
  HostMachine_SetState(headset, 1 /* active */);
  CHECK(Await(DeviceAdded, headset, mark) != NULL);
  CHECK(Find(DeviceRemoved, headset, mark) == NULL);

  /* Default changes: console and communications are reported with a described record; the
   * multimedia role, set first, is not, and events keep their order. */
  mark = Mark();
  HostMachine_SetDefault(1 /* multimedia */, extra);
  HostMachine_SetDefault(0 /* console */, extra);
  e = Await(DefaultDeviceChanged, extra, mark);
  CHECK(e != NULL && e->record.role == 0 && e->record.dataFlow == 0 && e->record.isDefault == 1);
  CHECK(e->record.sampleRate != 0 && Contains16(e->record.friendlyName, "Extra"));
  mark = Mark();
  HostMachine_SetDefault(2 /* communications */, HostMachine_Id(7));
  e = Await(DefaultDeviceChanged, HostMachine_Id(7), mark);
  CHECK(e != NULL && e->record.role == 2);

  /* Format change, also of an endpoint the router does not hold. */
  mark = Mark();
  HostMachine_ChangeDeviceFormat(HostMachine_Id(4));
  CHECK(Await(DeviceFormatChanged, HostMachine_Id(4), mark) != NULL);

  /* Routing off keeps the meters live: they follow a louder tone. */
  CHECK(p_KovraApi_EnableRouting(false, false) == ResultOk);
  CHECK(HostMachine_SinkGoesQuiet(speakers));
  HostMachine_FeedTone(1.0);
  CHECK(HostMachine_Wait(PeaksNear, &fullScale));
  HostMachine_FeedTone(0.5);

  /* The virtual card's playback endpoint: visible and console default, without an event 5. */
  mark = Mark();
  CHECK(p_KovraApi_SetKovraPlaybackDefaultDevice(false) == ResultOk);
  CHECK(HostMachine_IsVisible(HostMachine_Id(1)) && HostMachine_IsDefault(0, HostMachine_Id(1)));
  HostMachine_SetDefault(0, speakers);
  e = Await(DefaultDeviceChanged, NULL, mark);
  CHECK(e != NULL && Compare16(e->record.id, speakers) == 0);

  /* An endpoint configured through a record: the headset becomes the communications default. */
  CopyId(record.id, headset);
  record.role = RoleCommunications;
  record.isDefault = record.visible = 1;
  CHECK(p_KovraApi_ConfigureDeviceEndpoint(&record) == ResultOk);
  CHECK(HostMachine_IsDefault(2, headset));

  /* Eleven render endpoints play at once; a twelfth is refused with the count in the log. */
  for (i = 0; i < 11; ++i) CHECK(p_KovraApi_AddDevice(HostMachine_Id(5 + i), 20) == ResultOk);
  CHECK(p_KovraApi_AddDevice(headset, 20) == ResultTooManyDevices);
  CHECK(HostMachine_LogHas("Max number of render devices exceeded: 11"));
  CHECK(p_KovraApi_EnableRouting(true, false) == ResultOk);
  for (i = 0; i < 11; ++i) CHECK(HostMachine_SinkPlays(HostMachine_Id(5 + i)));

  /* Without a delegate notifications are still handled: the unplugged endpoint stops. */
  p_KovraApi_SetKovraDelegate(NULL);
  mark = Mark();
  HostMachine_SetState(extra, 8);
  CHECK(HostMachine_SinkGoesQuiet(extra));
  CHECK(HostMachine_SinkPlays(HostMachine_Id(6)));
  CHECK(Mark() == mark);
  CHECK(p_KovraApi_RemoveDevice(HostMachine_Id(6)) == ResultOk);

  /* Stopping capture too ends the meters: the card's stream takes no more packets. */
  CHECK(p_KovraApi_EnableRouting(false, true) == ResultOk);
  CHECK(HostMachine_CaptureStops());

  /* The trace exports: a host's error line reaches the debugger as written, never as a format. */
  p_KovraApi_Trace_Init();
  p_KovraApi_Trace_SetVerboseLevel(1);
  p_KovraApi_Trace_In(u"host in");
  p_KovraApi_Trace_Level(1, u"host error %s");
  p_KovraApi_Trace_Raw(1, NULL);
  p_KovraApi_Trace_Out(u"host out");
  CHECK(HostMachine_LogHas("host error %s"));
  p_KovraApi_Trace_Terminate();
  return NULL;
}
