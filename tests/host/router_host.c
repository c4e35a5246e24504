/* A host written in C: it loads the library by name at run time, resolves every export and drives
 * the whole calling sequence, as a real host would. The simulated machine around it is set up and
 * observed through the HostMachine_ functions (router_host_test.cpp). */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "kovra_api.h"

/* ---- The machine, from the C++ side ---- */
const KovraChar16* HostMachine_Id(int which); /* 0 card capture, 1 card playback, 2 speakers,
                                                 3 headset render, 4 headset capture, 5.. extra */
void HostMachine_FeedTone(double amplitude);
int HostMachine_SinkPlays(const KovraChar16* id);
int HostMachine_GoesQuiet(const KovraChar16* id);
void HostMachine_SetState(const KovraChar16* id, uint32_t state);
void HostMachine_SetDefault(int role, const KovraChar16* id); /* render endpoints */
void HostMachine_ChangeDeviceFormat(const KovraChar16* id);
int HostMachine_IsDefault(int role, const KovraChar16* id);
int HostMachine_LogHas(const char* text);
int HostMachine_Contains(const KovraChar16* text, const char* ascii);
int HostMachine_Wait(int (*condition)(const void*), const void* argument);
/* Endpoint changes (events 1, 2, 3, 5) the delegate saw are kept there, as records; those of
 * events 1 to 3 hold only the id. Find looks from the `from`-th on for one of `code` (and `id`
 * unless NULL), waiting for it when asked. */
void HostMachine_Saw(int32_t code, const DeviceEndpointRecord* record);
int HostMachine_Mark(void);
const DeviceEndpointRecord* HostMachine_Find(int32_t code, const KovraChar16* id, int from,
                                             int wait);

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
/* The last answer to a query, delivered on the calling thread before the query returns. */
static struct Answer {
  int32_t code;
  uint32_t count;  /* events 20, 21 */
  int listOk;      /* events 20, 21: filled, flow set, card left out */
  float values[2]; /* events 30, 35 */
} g_Answer;

static void CopyId(KovraChar16* to, const KovraChar16* from) {
  int n;
  for (n = 0; n < KOVRA_MAX_STRING && from[n] != 0; ++n) to[n] = from[n];
}
static int ListOk(const DeviceList* list, uint32_t flow) {
  const DeviceEndpointRecord* r;
  for (r = list->records; r < list->records + list->count; ++r)
    if (HostMachine_Contains(r->interfaceName, "Halvern Sound Capture") || r->dataFlow != flow ||
        r->sampleRate == 0 || r->channels == 0 || r->id[0] == 0)
      return 0;
  return 1;
}

static void KOVRA_CALL HostDelegate(int32_t code, void* data) {
  if (code == DefaultDeviceChanged) {
    HostMachine_Saw(code, (const DeviceEndpointRecord*)data);
  } else if (code < OutputDevices) {
    DeviceEndpointRecord idOnly;
    memset(&idOnly, 0, sizeof idOnly);
    CopyId(idOnly.id, (const KovraChar16*)data);
    HostMachine_Saw(code, &idOnly);
  } else {
    g_Answer.code = code;
    if (code == OutputDevices || code == InputDevices) {
      g_Answer.count = ((const DeviceList*)data)->count;
      g_Answer.listOk = ListOk((const DeviceList*)data, code == InputDevices ? 1u : 0u);
    } else {
      memcpy(g_Answer.values, data, sizeof g_Answer.values);
    }
  }
}
#define AWAIT(code, id, from) HostMachine_Find(code, id, from, 1)

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
  return p_KovraApi_GetPeakValues() && g_Answer.code == PeakValues &&
         fabsf(g_Answer.values[0] - want) < 1.5f && fabsf(g_Answer.values[1] - want) < 1.5f;
}

/* ---- The calling sequence ---- */
const char* KovraHost_RunSequence(void) {
  const KovraChar16* speakers = HostMachine_Id(2);
  const KovraChar16* headset = HostMachine_Id(3);
  const KovraChar16* extra = HostMachine_Id(5);
  const float silence = -144.0f, fullScale = 0.0f;
  const float outside[2] = {12.0f, -200.0f}, unity[2] = {0.0f, 0.0f};
  static DeviceEndpointRecord record; /* zeros */
  const DeviceEndpointRecord* e;
  int mark, i;

  if (!Load()) return g_Failure;
  /* Zeros from the first packet on: packets flagged silent may carry anything, and the capture
   * thread meters them as they are. */
  HostMachine_FeedTone(0.0);
  CHECK(p_KovraApi_Initialize(u"/tmp/halvern_host_test.log") == 0);
  p_KovraApi_SetKovraDelegate(HostDelegate);
  CHECK(p_KovraApi_StartCapturer(20) == ResultOk);

  /* Device lists: the virtual card left out, records filled (the device manager's test orders
   * them); speakers, headset and 11 extra endpoints play. */
  CHECK(p_KovraApi_GetAudioOutputDevices());
  CHECK(g_Answer.code == OutputDevices && g_Answer.listOk && g_Answer.count == 2 + 11);
  CHECK(p_KovraApi_GetAudioInputDevices());
  CHECK(g_Answer.code == InputDevices && g_Answer.listOk && g_Answer.count == 1);

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

  /* Gains: the device's volume, clamped to its range (-96..0 dB). */
  CHECK(p_KovraApi_SetGain(outside) && p_KovraApi_GetGain());
  CHECK(g_Answer.code == GainValues && g_Answer.values[0] == 0.0f && g_Answer.values[1] == -96.0f);
  CHECK(p_KovraApi_SetGain(unity));

  /* Hot-plug while routing: the unplugged headset stops, the others play on; an endpoint that
   * becomes active again is reported as added only. (Up to the re-plug, each change below is the
   * first of its kind for its endpoint, so its event is looked for from the start.) */
  HostMachine_SetState(headset, 8 /* unplugged */);
  CHECK(AWAIT(DeviceRemoved, headset, 0) != NULL);
  CHECK(HostMachine_GoesQuiet(headset));
  CHECK(HostMachine_SinkPlays(speakers) && HostMachine_SinkPlays(extra));
  mark = HostMachine_Mark();
  HostMachine_SetState(headset, 1 /* active */);
  CHECK(AWAIT(DeviceAdded, headset, mark) != NULL);
  CHECK(HostMachine_Find(DeviceRemoved, headset, mark, 0) == NULL);

  /* Default changes: console and communications are reported with a described record; the
   * multimedia role, set first, is not, and events keep their order. */
  HostMachine_SetDefault(1 /* multimedia */, extra);
  HostMachine_SetDefault(0 /* console */, extra);
  e = AWAIT(DefaultDeviceChanged, extra, 0);
  CHECK(e != NULL && e->role == 0 && e->dataFlow == 0 && e->isDefault == 1);
  CHECK(e->sampleRate != 0 && HostMachine_Contains(e->friendlyName, "Extra"));
  HostMachine_SetDefault(2 /* communications */, HostMachine_Id(7));
  e = AWAIT(DefaultDeviceChanged, HostMachine_Id(7), 0);
  CHECK(e != NULL && e->role == 2);

  /* Format change, also of an endpoint the router does not hold. */
  HostMachine_ChangeDeviceFormat(HostMachine_Id(4));
  CHECK(AWAIT(DeviceFormatChanged, HostMachine_Id(4), 0) != NULL);

  /* Routing off keeps the meters live: they follow a louder tone. */
  CHECK(p_KovraApi_EnableRouting(false, false) == ResultOk);
  CHECK(HostMachine_GoesQuiet(speakers));
  HostMachine_FeedTone(1.0);
  CHECK(HostMachine_Wait(PeaksNear, &fullScale));

  /* The virtual card's playback endpoint: visible and console default, without an event 5. */
  mark = HostMachine_Mark();
  CHECK(p_KovraApi_SetKovraPlaybackDefaultDevice(false) == ResultOk);
  CHECK(HostMachine_IsDefault(0, HostMachine_Id(1))); /* only a visible endpoint can be */
  HostMachine_SetDefault(0, speakers);
  e = AWAIT(DefaultDeviceChanged, NULL, mark);
  CHECK(e != NULL && e == HostMachine_Find(DefaultDeviceChanged, speakers, mark, 0));

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
  mark = HostMachine_Mark();
  HostMachine_SetState(extra, 8);
  CHECK(HostMachine_GoesQuiet(extra));
  CHECK(HostMachine_SinkPlays(HostMachine_Id(6)));
  CHECK(HostMachine_Mark() == mark);
  CHECK(p_KovraApi_RemoveDevice(HostMachine_Id(6)) == ResultOk);

  /* Stopping capture too ends the meters: the card's stream takes no more packets. */
  CHECK(p_KovraApi_EnableRouting(false, true) == ResultOk);
  CHECK(HostMachine_GoesQuiet(HostMachine_Id(0)));

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
