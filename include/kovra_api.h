/*
 * kovra_api.h - the public C interface of HalvernVAD_Router.
 *
 * The library captures the "Halvern Sound Capture" virtual sound card and plays it, converted per
 * device, on up to 11 render endpoints the host adds. It also lists audio endpoints, makes the
 * virtual card's playback endpoint visible and default, reports endpoint changes, traces, and reads
 * call stacks from crash dumps.
 *
 * Valid C99 and C++. Every record has a fixed binary layout (little-endian, offsets checked below).
 *
 * Calling sequence: initialise COM on each calling thread (the library never does), then
 * KovraApi_Initialize, KovraApi_SetKovraDelegate, KovraApi_StartCapturer; KovraApi_AddDevice while
 * routing is stopped, then KovraApi_EnableRouting(true, ...).
 *
 * Values the host asks for (device lists, peaks, gains) are not returned through parameters: they
 * are delivered by calling the delegate synchronously, on the calling thread, before the export
 * returns. Endpoint changes arrive through the same delegate on Windows' notification thread. Data
 * handed to the delegate lives only for the duration of the call: copy what you need.
 */
#ifndef KOVRA_API_H
#define KOVRA_API_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Calling convention of every export and of the delegate: the platform's standard one. */
#if defined(_WIN32) && !defined(_WIN64)
#define KOVRA_CALL __stdcall
#else
#define KOVRA_CALL
#endif

/* Symbol decoration: exported while building the library (KOVRA_BUILDING_LIBRARY), imported by
 * hosts; KOVRA_STATIC drops it for code linked in statically. */
#if defined(KOVRA_STATIC)
#define KOVRA_API
#elif defined(_WIN32)
#if defined(KOVRA_BUILDING_LIBRARY)
#define KOVRA_API __declspec(dllexport)
#else
#define KOVRA_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KOVRA_API __attribute__((visibility("default")))
#else
#define KOVRA_API
#endif

/* One UTF-16 code unit. Strings are NUL-terminated. On Windows this is wchar_t; elsewhere C++ sees
 * char16_t and C sees uint16_t, which has the same size, alignment and argument passing. */
#if defined(_WIN32)
typedef wchar_t KovraChar16;
#elif defined(__cplusplus)
typedef char16_t KovraChar16;
#else
typedef uint16_t KovraChar16;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes (unsigned 32-bit) of the exports that return a status ---- */
enum KovraResultCode {
  /* Success. */
  ResultOk = 0,
  /* Any failure not listed below, e.g. the device enumerator could not be created. */
  ResultFailed = 1,
  /* The audio client was not initialised, or was initialised twice. */
  ResultClientState = 10,
  /* The audio client refused the stream format. */
  ResultUnsupportedFormat = 11,
  /* The device is in use, or allows exclusive mode only. */
  ResultDeviceBusy = 12,
  /* The router refused: a device was added while routing runs, or routing could not start. */
  ResultRouter = 200,
  /* The virtual capture endpoint was not found or could not be made visible. */
  ResultCaptureDevice = 201,
  /* 11 render endpoints are held already; no more can be added. */
  ResultTooManyDevices = 202
};

/* ---- Delegate event codes (first argument of KovraDelegate) ---- */
enum KovraEventCode {
  /* An endpoint appeared or became active. Data: const KovraChar16* endpoint id. */
  DeviceAdded = 1,
  /* An endpoint disappeared or became disabled, not present or unplugged. Data: endpoint id. */
  DeviceRemoved = 2,
  /* An endpoint's device format changed. Data: const KovraChar16* endpoint id. */
  DeviceFormatChanged = 3,
  /* The console or communications default changed. Data: DeviceEndpointRecord* of the new
   * default, with isDefault 1, its role and data flow; empty strings if it cannot be described. */
  DefaultDeviceChanged = 5,
  /* Answer to KovraApi_GetAudioOutputDevices. Data: DeviceList*. */
  OutputDevices = 20,
  /* Answer to KovraApi_GetAudioInputDevices. Data: DeviceList*. */
  InputDevices = 21,
  /* Answer to KovraApi_GetPeakValues. Data: float[2], peaks of channels 0 and 1 in dB
   * (-144 dB is silence). */
  PeakValues = 30,
  /* Answer to KovraApi_GetGain. Data: float[2], gains of channels 0 and 1 in dB. */
  GainValues = 35
};

/* Values of DeviceEndpointRecord.role. */
enum KovraRole { RoleConsole = 0, RoleMultimedia = 1, RoleCommunications = 2 };
/* Values of DeviceEndpointRecord.dataFlow. */
enum KovraDataFlow { DataFlowRender = 0, DataFlowCapture = 1 };

/* ---- Records ---- */

/* Maximum characters of a record string, excluding the terminating NUL. */
#define KOVRA_MAX_STRING 255

/* One audio endpoint, 2596 bytes. Written by the library in device lists and event 5; read by
 * KovraApi_ConfigureDeviceEndpoint (id, interfaceName, role, dataFlow, isDefault, visible). */
typedef struct DeviceEndpointRecord {
  /* Endpoint id as Windows reports it, e.g. "{0.0.0.00000000}.{guid}". */
  KovraChar16 id[256];
  /* Name of the audio adapter; the virtual card's contains "Halvern Sound Capture". */
  KovraChar16 interfaceName[256];
  /* Full endpoint name, e.g. "Speakers (USB Audio)". */
  KovraChar16 friendlyName[256];
  /* All zero in records the library writes. */
  KovraChar16 reserved[256];
  /* Endpoint description, e.g. "Speakers". */
  KovraChar16 description[256];
  /* Windows' EndpointFormFactor: 1 speakers, 3 headphones, 5 headset, ... */
  uint32_t formFactor;
  /* KovraRole: the role this endpoint is the default of (0 when it is none). */
  uint32_t role;
  /* KovraDataFlow: 0 render (output), 1 capture (input). */
  uint32_t dataFlow;
  /* 1 when the endpoint is the default of its role; on input, 1 asks to make it the default. */
  uint32_t isDefault;
  /* Input only: non-zero shows the endpoint, zero hides it. No meaning in written records. */
  uint32_t visible;
  /* Channels of the device format. */
  uint32_t channels;
  /* Sample rate of the device format, in Hz. */
  uint32_t sampleRate;
  /* Container size of a device-format sample, in bits. */
  uint32_t bitsPerSample;
  /* Speaker positions of the device format (SPEAKER_FRONT_LEFT = 0x1, ...). */
  uint32_t channelMask;
} DeviceEndpointRecord;

/* Data of events 20 and 21, 16 bytes on 64-bit targets. */
typedef struct DeviceList {
  /* Number of records; the virtual card's own endpoints are left out and not counted. */
  uint32_t count;
  /* Padding, zero. */
  uint32_t reserved;
  /* First of `count` consecutive records, in ascending endpoint-id order. */
  const DeviceEndpointRecord* records;
} DeviceList;

/* One call-stack frame from KovraApi_Dump_GetCallStackFromMemoryDump, 520 bytes. */
typedef struct CallStackFrameRecord {
  /* Loaded image name of the module holding the frame's instruction, at most 255 characters. */
  KovraChar16 imageName[256];
  /* Offset of the frame's instruction from the module's base address, in bytes. */
  uint64_t offset;
} CallStackFrameRecord;

/* Host callback. event: a KovraEventCode; data: the event's data (see there), valid only during
 * the call. May be called on a thread of Windows; return quickly. */
typedef void(KOVRA_CALL* KovraDelegate)(int32_t event, void* data);

/* ---- Application exports ---- */

/* Starts the library: remembers logPath (UTF-16 file path, not null) as the trace log, starts
 * tracing errors to the debugger and that file, installs the event handler. Returns 0. */
KOVRA_API int32_t KOVRA_CALL KovraApi_Initialize(const KovraChar16* logPath);

/* Finds the virtual capture endpoint (retrying once a second for up to 60 s), opens it with
 * latencyMs ms of extra buffer and starts capturing. Result code; 201 when never found; a second
 * call returns 0 at once. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_StartCapturer(uint32_t latencyMs);

/* Adds the render endpoint endpointId (UTF-16) with latencyMs ms of buffer on top of the device
 * period. Only while routing is stopped (else 200); 202 when 11 are held. Result code. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_AddDevice(const KovraChar16* endpointId, uint32_t latencyMs);

/* Forgets the render endpoint endpointId. Returns 0. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_RemoveDevice(const KovraChar16* endpointId);

/* enable: starts routing to every added endpoint (200 on failure). !enable: stops and removes every
 * render endpoint, and stops capture too when stopCapture (else meters stay live); returns 0. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_EnableRouting(bool enable, bool stopCapture);

/* Shows or hides (record->visible) the endpoint record->id, or when id is empty the first endpoint
 * of record->dataFlow whose interface name contains record->interfaceName, and makes it the default
 * of record->role when record->isDefault is 1. Result code 0, 1, 10, 11 or 12. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_ConfigureDeviceEndpoint(const DeviceEndpointRecord* record);

/* Makes the virtual card's playback endpoint visible and the default of the communications role
 * (communications) or the console role. Result code 0, 1, 10, 11 or 12. */
KOVRA_API uint32_t KOVRA_CALL KovraApi_SetKovraPlaybackDefaultDevice(bool communications);

/* Installs the host callback; null switches every delegate call off. Takes effect at once. */
KOVRA_API void KOVRA_CALL KovraApi_SetKovraDelegate(KovraDelegate callback);

/* Delivers the capture endpoints as event 21 (DeviceList). False when enumeration fails. */
KOVRA_API bool KOVRA_CALL KovraApi_GetAudioInputDevices(void);

/* Delivers the render endpoints as event 20 (DeviceList). False when enumeration fails. */
KOVRA_API bool KOVRA_CALL KovraApi_GetAudioOutputDevices(void);

/* Delivers the captured peaks of channels 0 and 1 in dB as event 30. False before capture runs. */
KOVRA_API bool KOVRA_CALL KovraApi_GetPeakValues(void);

/* Delivers the capture gains of channels 0 and 1 in dB as event 35. False before capture runs. */
KOVRA_API bool KOVRA_CALL KovraApi_GetGain(void);

/* Sets the capture gains of channels 0 and 1 in dB, each clamped to the endpoint's volume range
 * (the device's own range). False before capture runs or on failure. */
KOVRA_API bool KOVRA_CALL KovraApi_SetGain(const float gainsDb[2]);

/* ---- Trace exports. Texts are UTF-16, written as they stand (never read as formats). Host
 * levels: 1 errors, 2 warnings, 3 details, 4 everything; 0 and anything above 4 are silent. ---- */

/* Starts tracing for the process: errors to the debugger and the KovraApi_Initialize log file. */
KOVRA_API void KOVRA_CALL KovraApi_Trace_Init(void);

/* Ends the calling thread's tracing. */
KOVRA_API void KOVRA_CALL KovraApi_Trace_Terminate(void);

/* Sets the verbose level (host level 0..4, see above). */
KOVRA_API void KOVRA_CALL KovraApi_Trace_SetVerboseLevel(uint32_t level);

/* Writes a function-entry line and indents the following lines of the thread. */
KOVRA_API void KOVRA_CALL KovraApi_Trace_In(const KovraChar16* text);

/* Writes a function-exit line and undoes one indentation. */
KOVRA_API void KOVRA_CALL KovraApi_Trace_Out(const KovraChar16* text);

/* Writes text as one time-stamped, indented line at the host level (null text: nothing). */
KOVRA_API void KOVRA_CALL KovraApi_Trace_Level(uint32_t level, const KovraChar16* text);

/* Writes text exactly as given, not as a format (null text: nothing). */
KOVRA_API void KOVRA_CALL KovraApi_Trace_Raw(uint32_t level, const KovraChar16* text);

/* ---- Crash dump export ---- */

/* Reads the call stack of the event stored in the dump at dumpPath (UTF-16), innermost frame
 * first, into at most maxFrames records; *frameCount receives the number written. Returns 1 on
 * success, 0 on failure (and for any null argument). May take seconds for a large dump. */
KOVRA_API int KOVRA_CALL KovraApi_Dump_GetCallStackFromMemoryDump(const KovraChar16* dumpPath,
                                                                  CallStackFrameRecord* frames,
                                                                  int maxFrames, int* frameCount);

#ifdef __cplusplus
}
#endif

/* Every export, for a host that resolves them at run time: X(name) once per export, in the order
 * above. */
/* clang-format off */
#define KOVRA_API_EXPORTS(X)                                                               \
  X(KovraApi_Initialize) X(KovraApi_StartCapturer) X(KovraApi_AddDevice)                   \
  X(KovraApi_RemoveDevice) X(KovraApi_EnableRouting) X(KovraApi_ConfigureDeviceEndpoint)   \
  X(KovraApi_SetKovraPlaybackDefaultDevice) X(KovraApi_SetKovraDelegate)                   \
  X(KovraApi_GetAudioInputDevices) X(KovraApi_GetAudioOutputDevices)                       \
  X(KovraApi_GetPeakValues) X(KovraApi_GetGain) X(KovraApi_SetGain)                        \
  X(KovraApi_Trace_Init) X(KovraApi_Trace_Terminate) X(KovraApi_Trace_SetVerboseLevel)     \
  X(KovraApi_Trace_In) X(KovraApi_Trace_Out) X(KovraApi_Trace_Level) X(KovraApi_Trace_Raw) \
  X(KovraApi_Dump_GetCallStackFromMemoryDump)
/* clang-format on */

/* ---- Layout checks: these records cross the boundary byte for byte ---- */
#if defined(__cplusplus)
#define KOVRA_LAYOUT(cond) static_assert(cond, #cond)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KOVRA_LAYOUT(cond) _Static_assert(cond, #cond)
#else
/* C99 has no static assertion: a negative array size stops the build instead. */
#define KOVRA_LAYOUT_NAME2(line) kovra_layout_check_##line
#define KOVRA_LAYOUT_NAME(line) KOVRA_LAYOUT_NAME2(line)
#define KOVRA_LAYOUT(cond) typedef char KOVRA_LAYOUT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif

KOVRA_LAYOUT(sizeof(KovraChar16) == 2);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, id) == 0);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, interfaceName) == 512);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, friendlyName) == 1024);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, reserved) == 1536);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, description) == 2048);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, formFactor) == 2560);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, role) == 2564);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, dataFlow) == 2568);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, isDefault) == 2572);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, visible) == 2576);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, channels) == 2580);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, sampleRate) == 2584);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, bitsPerSample) == 2588);
KOVRA_LAYOUT(offsetof(DeviceEndpointRecord, channelMask) == 2592);
KOVRA_LAYOUT(sizeof(DeviceEndpointRecord) == 2596);
KOVRA_LAYOUT(offsetof(DeviceList, count) == 0);
KOVRA_LAYOUT(offsetof(DeviceList, reserved) == 4);
KOVRA_LAYOUT(offsetof(DeviceList, records) == 8);
/* 16 bytes where pointers are 64-bit; 12 on 32-bit targets. */
KOVRA_LAYOUT(sizeof(DeviceList) == 8 + (sizeof(void*) > 4 ? 8 : 4));
KOVRA_LAYOUT(offsetof(CallStackFrameRecord, imageName) == 0);
KOVRA_LAYOUT(offsetof(CallStackFrameRecord, offset) == 512);
KOVRA_LAYOUT(sizeof(CallStackFrameRecord) == 520);

#undef KOVRA_LAYOUT
#ifdef KOVRA_LAYOUT_NAME
#undef KOVRA_LAYOUT_NAME
#undef KOVRA_LAYOUT_NAME2
#endif

#endif /* KOVRA_API_H */
