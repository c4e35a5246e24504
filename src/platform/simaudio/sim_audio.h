// Control API of the simulated Windows core audio system (non-Windows builds only). Tests and tools
// build a machine with it (endpoints, defaults, sources and sinks, clock skew, faults) and read
// what happened (counters, volumes); the code under test sees the same machine only through the COM
// interfaces of platform/win32.h. See README.md in this folder.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace halvern::simaudio {

// Fills `frames` frames of the stream format at `data` (blockAlign bytes per frame); `position` is
// the device position of the first frame. Called on the engine thread once per period for every
// started capture stream of the endpoint; it must not call back into the simulated system.
using CaptureSource =
    std::function<void(BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64 position)>;
// Receives the `frames` frames the engine took from a render stream in one period, silence
// included.
using RenderSink = std::function<void(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format,
                                      UINT64 position)>;

// How the engine treats the endpoint's streams; each field is a choice Windows leaves open or a
// device capability, so that code under test meets both answers.
struct EngineBehaviour {
  // Shared-mode buffers hold at least the requested duration rounded up to whole frames, never
  // less than this minimum (nor one period), plus the extra. The default minimum is what Windows
  // commonly grants an event-driven shared stream on a 10 ms engine period: two periods and a
  // little more (1056 frames at 48 kHz); undocumented, hence a setting.
  REFERENCE_TIME sharedBufferMinimum = 220000;
  REFERENCE_TIME sharedBufferExtra = 0;
  // Windows leaves the discontinuity flag of the first capture packet after Start undefined.
  bool discontinuityAfterStart = true;
  // Silent capture packets carry garbage: clients must honour AUDCLNT_BUFFERFLAGS_SILENT.
  bool noisySilence = true;
  // Volume and mute in hardware: samples pass unscaled and QueryHardwareSupport says so.
  // Without it the engine scales the samples, as Windows substitutes a software volume.
  bool hardwareVolume = false;
};

struct EndpointDesc {
  std::u16string id;
  EDataFlow flow = eRender;
  // DEVICE_STATE_ACTIVE, _UNPLUGGED or _NOTPRESENT; DEVICE_STATE_DISABLED means "present, hidden".
  DWORD state = DEVICE_STATE_ACTIVE;
  std::u16string interfaceName;  // PKEY_DeviceInterface_FriendlyName: the adapter
  std::u16string friendlyName;   // PKEY_Device_FriendlyName
  std::u16string description;    // PKEY_Device_DeviceDesc
  UINT32 formFactor = Speakers;
  WAVEFORMATEXTENSIBLE deviceFormat{};  // required: the format the hardware runs at
  // The shared-mode engine format; left zero it is 32-bit float at the device's rate and channels.
  WAVEFORMATEXTENSIBLE mixFormat{};
  REFERENCE_TIME defaultPeriod = 100000;  // 10 ms
  REFERENCE_TIME minimumPeriod = 30000;   // 3 ms
  float volumeMinDb = -96.0f;
  float volumeMaxDb = 0.0f;
  float volumeStepDb = 0.5f;
  double clockSkewPpm = 0.0;
  EngineBehaviour engine;
};

struct EndpointCounters {
  UINT64 periods = 0;         // engine periods processed over all streams
  UINT64 framesRendered = 0;  // frames the engine took from render streams, silence included
  UINT64 framesCaptured = 0;  // frames delivered into capture streams
  UINT64 underruns = 0;       // render periods that found fewer frames than a period
  UINT64 overflows = 0;       // capture periods dropped because the client buffer was full
  UINT32 streams = 0;         // audio clients initialised on the endpoint and still alive
};

struct VolumeState {
  float masterDb = 0.0f;
  std::vector<float> channelDb;
  bool muted = false;
};

// Formats for EndpointDesc and tests: PCM (WAVE_FORMAT_EXTENSIBLE with the PCM sub-format) and
// 32-bit float (extensible, float sub-format), with the usual channel masks for 1, 2, 4, 6, 8.
WAVEFORMATEXTENSIBLE MakePcmFormat(DWORD sampleRate, WORD channels, WORD bits);
WAVEFORMATEXTENSIBLE MakeFloatFormat(DWORD sampleRate, WORD channels);

// Every call returns S_OK, or E_INVALIDARG for a malformed description, or
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for an unknown id. Changes raise the notifications Windows
// raises, delivered asynchronously on the notification thread.
HRESULT AddEndpoint(const EndpointDesc& desc);
HRESULT RemoveEndpoint(std::u16string_view id);
HRESULT SetEndpointState(std::u16string_view id, DWORD state);
// An empty id leaves the role without a default endpoint.
HRESULT SetDefaultEndpoint(EDataFlow flow, ERole role, std::u16string_view id);
std::u16string GetDefaultEndpoint(EDataFlow flow, ERole role);
HRESULT SetEndpointNames(std::u16string_view id, std::u16string_view interfaceName,
                         std::u16string_view friendlyName, std::u16string_view description);
HRESULT SetDeviceFormat(std::u16string_view id, const WAVEFORMATEXTENSIBLE& format);
HRESULT SetMixFormat(std::u16string_view id, const WAVEFORMATEXTENSIBLE& format);
HRESULT SetClockSkew(std::u16string_view id, double ppm);
HRESULT SetCaptureSource(std::u16string_view id, CaptureSource source);
HRESULT SetRenderSink(std::u16string_view id, RenderSink sink);
// Exclusive-mode answer of IsFormatSupported and Initialize: unset, formats equal to the device
// format are accepted; set, the given code is returned for every format.
HRESULT SetExclusiveModeAnswer(std::u16string_view id, std::optional<HRESULT> answer);
// Exclusive-mode buffers must be a multiple of this many frames (0: any size).
HRESULT SetExclusiveBufferAlignment(std::u16string_view id, UINT32 frames);
// Applies to streams initialised (buffer sizing) or started (the rest) afterwards.
HRESULT SetEngineBehaviour(std::u16string_view id, const EngineBehaviour& behaviour);
// Breaks every audio client of the endpoint (u"*": of every endpoint) alive now, without any state
// change or notification: each later call on them fails with `reason` and no more events come.
// The reasons Windows documents: AUDCLNT_E_SERVICE_NOT_RUNNING (audio service stopped),
// AUDCLNT_E_DEVICE_IN_USE (another application took the device exclusively) and
// AUDCLNT_E_DEVICE_INVALIDATED; anything else is E_INVALIDARG.
HRESULT InvalidateStreams(std::u16string_view id, HRESULT reason);
HRESULT GetCounters(std::u16string_view id, EndpointCounters* counters);
HRESULT GetVolume(std::u16string_view id, VolumeState* volume);
HRESULT GetState(std::u16string_view id, DWORD* state);
bool IsVisible(std::u16string_view id);

// Makes `method` ("IAudioClient::Start", "IMMDeviceEnumerator::GetDevice", ...) of the endpoint
// `id` return `hr` for the next `count` calls (negative: until cleared). Methods that belong to no
// endpoint (EnumAudioEndpoints, GetDefaultAudioEndpoint, the notification registration,
// "CoCreateInstance(MMDeviceEnumerator)" and "CoCreateInstance(PolicyConfig)") use the id u"";
// the id u"*" matches every endpoint. A method the simulation does not know, a success code or a
// count of 0 is refused with E_INVALIDARG, so a typo cannot leave a test running the happy path.
// A failing call leaves pointer out-parameters null and writes no other. A non-zero `thread`
// (GetCurrentThreadId) limits the fault to calls made on that thread.
//
// The platform layer's kernel calls "CreateThread", "CreateEventExW", "WaitForMultipleObjects" and
// "AvSetMmThreadCharacteristicsW" take faults too, with the id u"" and an HRESULT_FROM_WIN32 code
// (anything else is refused): the call then fails as Windows documents it, NULL or WAIT_FAILED,
// with GetLastError giving the code's Win32 error, after its own parameter checks. Only
// WaitForMultipleObjects fails, not WaitForSingleObject; only CreateEventExW, not CreateEventW.
[[nodiscard]] HRESULT InjectFault(std::u16string_view id, std::string_view method, HRESULT hr,
                                  int count = -1, DWORD thread = 0);
// How often the faults injected for exactly this id and method fired since the last ClearFaults.
int FaultsFired(std::u16string_view id, std::string_view method);
void ClearFaults();

// Interfaces the policy configuration object answers besides IUnknown.
constexpr unsigned kPolicyConfig = 0x1;
constexpr unsigned kPolicyConfigWindows10 = 0x2;
constexpr unsigned kPolicyConfigWindows10_1 = 0x4;
void SetPolicyConfigInterfaces(unsigned mask);

// A notification as the notification thread delivers it. Raised through RaiseNotification it
// changes nothing in the machine: any key, any state bits, ids that name no endpoint.
struct Notification {
  enum Kind { kAdded, kRemoved, kState, kDefault, kProperty } kind = kAdded;
  std::u16string id;
  bool nullId = false;  // the id argument is a null pointer (a role left without default)
  DWORD state = 0;
  EDataFlow flow = eRender;
  ERole role = eConsole;
  PROPERTYKEY key{};
};
void RaiseNotification(const Notification& notification);

// Waits until every notification raised so far has been delivered; false on timeout. Must not be
// called from a notification callback.
bool WaitForNotifications(DWORD milliseconds);
size_t RegisteredNotificationClients();

// Strict mode (on unless switched off) records each breach of the rules Windows sets for
// notification callbacks: a wait on a kernel object that may block, IAudioClient::Stop,
// (un)registering a notification client, and the final Release of an object of the simulated
// system, each inside a callback. Reset empties the record.
void SetStrictMode(bool on);
std::vector<std::string> CallbackBreaches();

// Registers the device enumerator and the policy configuration class with CoCreateInstance. The
// first use of any call above does it too, so code under test finds them on any machine a test or
// tool has built; until then CoCreateInstance answers REGDB_E_CLASSNOTREG, as on a Windows without
// the audio service's classes. Not done by a static initialiser, which a static link could drop.
void RegisterComClasses();

// Back to an empty machine: endpoints, defaults, faults, registrations and settings go;
// streams still held by a caller are invalidated. Must not be called from a callback.
void Reset();

}  // namespace halvern::simaudio
