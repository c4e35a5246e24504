// COM, MMDevice, WASAPI and property-store declarations for non-Windows builds. Interfaces keep the
// SDK's method order (their virtual slots), names and signatures; CoCreateInstance creates the
// classes registered with RegisterComClass (the simulated core audio system registers its own).
// Destructors of interfaces are protected: objects are destroyed through Release, never through an
// interface pointer.
#pragma once

#include <cstddef>

#include "platform/posix/types.h"

// ---------------------------------------------------------------------------------------------
// COM basics

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

constexpr HRESULT DISP_E_BADVARTYPE = MAKE_HRESULT_CODE(0x80020008u);
constexpr HRESULT TYPE_E_TYPEMISMATCH = MAKE_HRESULT_CODE(0x80028CA0u);
constexpr HRESULT STG_E_ACCESSDENIED = MAKE_HRESULT_CODE(0x80030005u);
constexpr HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = MAKE_HRESULT_CODE(0x8007007Au);
constexpr HRESULT STRSAFE_E_INVALID_PARAMETER = MAKE_HRESULT_CODE(0x80070057u);
constexpr size_t STRSAFE_MAX_CCH = 2147483647;
constexpr HRESULT E_NOTFOUND = HRESULT_FROM_WIN32_ERROR_NOT_FOUND;

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

// COM must be initialised on the calling thread, or on any thread in the multithreaded apartment
// (the implicit MTA), before CoCreateInstance succeeds; as on Windows, the first call on a thread
// returns S_OK, further ones S_FALSE, and a change of apartment model RPC_E_CHANGED_MODE.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                         LPVOID* ppv);

namespace halvern::platform {

// Creates an object of one class and queries it for riid (*ppv null on failure); called by
// CoCreateInstance once the COM checks passed, without any lock held.
using ComClassFactory = HRESULT (*)(REFIID riid, void** ppv);
// Makes a class creatable in this process, as an in-process server registration does on Windows;
// a second registration of the class replaces the first, a null factory removes it. Unregistered
// classes give REGDB_E_CLASSNOTREG.
void RegisterComClass(REFCLSID clsid, ComClassFactory factory);

}  // namespace halvern::platform

LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID pv);

// ---------------------------------------------------------------------------------------------
// Properties

using VARTYPE = WORD;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_LPWSTR = 31;
constexpr VARTYPE VT_BLOB = 65;
constexpr VARTYPE VT_CLSID = 72;

struct BLOB {
  ULONG cbSize;
  BYTE* pBlobData;
};

struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    ULONG ulVal;
    short boolVal;
    LPWSTR pwszVal;
    CLSID* puuid;
    BLOB blob;
    ULONGLONG uhVal;
  };
};
using REFPROPVARIANT = const PROPVARIANT&;

struct PROPERTYKEY {
  GUID fmtid;
  DWORD pid;
};
using REFPROPERTYKEY = const PROPERTYKEY&;
inline bool IsEqualPropertyKey(const PROPERTYKEY& a, const PROPERTYKEY& b) {
  return a.pid == b.pid && a.fmtid == b.fmtid;
}

inline void PropVariantInit(PROPVARIANT* pv) { *pv = PROPVARIANT{}; }
// Frees what the value owns (strings and blobs with CoTaskMemFree) and leaves it VT_EMPTY.
HRESULT PropVariantClear(PROPVARIANT* pv);
// Copies src into a buffer of cch characters, truncating (and then returning
// STRSAFE_E_INSUFFICIENT_BUFFER) so that the result is always NUL-terminated; cch of 0 is
// STRSAFE_E_INVALID_PARAMETER.
HRESULT StringCchCopyW(LPWSTR dest, size_t cch, LPCWSTR src);
// Copies a string value (VT_LPWSTR; VT_EMPTY gives ""; VT_UI4 and VT_I4 in decimal) into a buffer
// of cch characters; a longer value is truncated, NUL-terminated, and STRSAFE_E_INSUFFICIENT_BUFFER
// returned.
HRESULT PropVariantToString(REFPROPVARIANT propvar, PWSTR psz, UINT cch);

// {A45C254E-DF1C-4EFD-8020-67D146A850E0}, 14: the full endpoint name ("Speakers (Card)").
inline constexpr PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
// {A45C254E-DF1C-4EFD-8020-67D146A850E0}, 2: the endpoint description ("Speakers").
inline constexpr PROPERTYKEY PKEY_Device_DeviceDesc = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};
// {026E516E-B814-414B-83CD-856D6FEF4822}, 2: the audio adapter's name ("Card").
inline constexpr PROPERTYKEY PKEY_DeviceInterface_FriendlyName = {
    {0x026e516e, 0xb814, 0x414b, {0x83, 0xcd, 0x85, 0x6d, 0x6f, 0xef, 0x48, 0x22}}, 2};
// {1DA5D803-D492-4EDD-8C23-E0C0FFEE7F0E}, 0: EndpointFormFactor as VT_UI4.
inline constexpr PROPERTYKEY PKEY_AudioEndpoint_FormFactor = {
    {0x1da5d803, 0xd492, 0x4edd, {0x8c, 0x23, 0xe0, 0xc0, 0xff, 0xee, 0x7f, 0x0e}}, 0};
// {F19F064D-082C-4E27-BC73-6882A1BB8E4C}, 0: the device format, a WAVEFORMATEX(TENSIBLE) blob.
inline constexpr PROPERTYKEY PKEY_AudioEngine_DeviceFormat = {
    {0xf19f064d, 0x082c, 0x4e27, {0xbc, 0x73, 0x68, 0x82, 0xa1, 0xbb, 0x8e, 0x4c}}, 0};

constexpr DWORD STGM_READ = 0x0;
constexpr DWORD STGM_WRITE = 0x1;
constexpr DWORD STGM_READWRITE = 0x2;

// {886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}
inline constexpr IID IID_IPropertyStore = {
    0x886d8eeb, 0x8cf2, 0x4446, {0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf, 0x99}};

struct IPropertyStore : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* cProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD iProp, PROPERTYKEY* pkey) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* pv) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT propvar) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit() = 0;

 protected:
  ~IPropertyStore() = default;
};

// ---------------------------------------------------------------------------------------------
// MMDevice API

enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2, EDataFlow_enum_count = 3 };
enum ERole { eConsole = 0, eMultimedia = 1, eCommunications = 2, ERole_enum_count = 3 };
enum EndpointFormFactor {
  RemoteNetworkDevice = 0,
  Speakers = 1,
  LineLevel = 2,
  Headphones = 3,
  Microphone = 4,
  Headset = 5,
  Handset = 6,
  UnknownDigitalPassthrough = 7,
  SPDIF = 8,
  DigitalAudioDisplayDevice = 9,
  UnknownFormFactor = 10,
  EndpointFormFactor_enum_count = 11
};

constexpr DWORD DEVICE_STATE_ACTIVE = 0x1;
constexpr DWORD DEVICE_STATE_DISABLED = 0x2;
constexpr DWORD DEVICE_STATE_NOTPRESENT = 0x4;
constexpr DWORD DEVICE_STATE_UNPLUGGED = 0x8;
constexpr DWORD DEVICE_STATEMASK_ALL = 0xF;

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
inline constexpr CLSID CLSID_MMDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
inline constexpr IID IID_IMMDeviceEnumerator = {
    0xa95664d2, 0x9614, 0x4f35, {0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36, 0x17, 0xe6}};
// {D666063F-1587-4E43-81F1-B948E807363F}
inline constexpr IID IID_IMMDevice = {
    0xd666063f, 0x1587, 0x4e43, {0x81, 0xf1, 0xb9, 0x48, 0xe8, 0x07, 0x36, 0x3f}};
// {0BD7A1BE-7A1A-44DB-8397-CC5392387B5E}
inline constexpr IID IID_IMMDeviceCollection = {
    0x0bd7a1be, 0x7a1a, 0x44db, {0x83, 0x97, 0xcc, 0x53, 0x92, 0x38, 0x7b, 0x5e}};
// {7991EEC9-7E89-4D85-8390-6C703CEC60C0}
inline constexpr IID IID_IMMNotificationClient = {
    0x7991eec9, 0x7e89, 0x4d85, {0x83, 0x90, 0x6c, 0x70, 0x3c, 0xec, 0x60, 0xc0}};

struct IMMNotificationClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR pwstrDeviceId,
                                                         DWORD dwNewState) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR pwstrDeviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR pwstrDeviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                           LPCWSTR pwstrDefaultDeviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR pwstrDeviceId,
                                                           const PROPERTYKEY key) = 0;

 protected:
  ~IMMNotificationClient() = default;
};

struct IMMDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD dwClsCtx,
                                             PROPVARIANT* pActivationParams,
                                             void** ppInterface) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD stgmAccess,
                                                      IPropertyStore** ppProperties) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* ppstrId) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pdwState) = 0;

 protected:
  ~IMMDevice() = default;
};

struct IMMDeviceCollection : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* pcDevices) = 0;
  virtual HRESULT STDMETHODCALLTYPE Item(UINT nDevice, IMMDevice** ppDevice) = 0;

 protected:
  ~IMMDeviceCollection() = default;
};

struct IMMDeviceEnumerator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                                                       IMMDeviceCollection** ppDevices) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                                            IMMDevice** ppEndpoint) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR pwstrId, IMMDevice** ppDevice) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* pClient) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* pClient) = 0;

 protected:
  ~IMMDeviceEnumerator() = default;
};

// ---------------------------------------------------------------------------------------------
// WASAPI

enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };

constexpr DWORD AUDCLNT_STREAMFLAGS_CROSSPROCESS = 0x00010000;
constexpr DWORD AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
constexpr DWORD AUDCLNT_STREAMFLAGS_NOPERSIST = 0x00080000;
constexpr DWORD AUDCLNT_STREAMFLAGS_RATEADJUST = 0x00100000;
constexpr DWORD AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM = 0x80000000;
constexpr DWORD AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY = 0x08000000;

enum _AUDCLNT_BUFFERFLAGS {
  AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1,
  AUDCLNT_BUFFERFLAGS_SILENT = 0x2,
  AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4
};

constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = MAKE_HRESULT_CODE(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = MAKE_HRESULT_CODE(0x88890002u);
constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = MAKE_HRESULT_CODE(0x88890003u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = MAKE_HRESULT_CODE(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = MAKE_HRESULT_CODE(0x88890005u);
constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = MAKE_HRESULT_CODE(0x88890006u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = MAKE_HRESULT_CODE(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = MAKE_HRESULT_CODE(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = MAKE_HRESULT_CODE(0x88890009u);
constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = MAKE_HRESULT_CODE(0x8889000Au);
constexpr HRESULT AUDCLNT_E_BUFFER_OPERATION_PENDING = MAKE_HRESULT_CODE(0x8889000Bu);
constexpr HRESULT AUDCLNT_E_THREAD_NOT_REGISTERED = MAKE_HRESULT_CODE(0x8889000Cu);
constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = MAKE_HRESULT_CODE(0x8889000Eu);
constexpr HRESULT AUDCLNT_E_ENDPOINT_CREATE_FAILED = MAKE_HRESULT_CODE(0x8889000Fu);
constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = MAKE_HRESULT_CODE(0x88890010u);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED = MAKE_HRESULT_CODE(0x88890011u);
constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_ONLY = MAKE_HRESULT_CODE(0x88890012u);
constexpr HRESULT AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL = MAKE_HRESULT_CODE(0x88890013u);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = MAKE_HRESULT_CODE(0x88890014u);
constexpr HRESULT AUDCLNT_E_INCORRECT_BUFFER_SIZE = MAKE_HRESULT_CODE(0x88890015u);
constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_ERROR = MAKE_HRESULT_CODE(0x88890016u);
constexpr HRESULT AUDCLNT_E_CPUUSAGE_EXCEEDED = MAKE_HRESULT_CODE(0x88890017u);
constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = MAKE_HRESULT_CODE(0x88890018u);
constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED = MAKE_HRESULT_CODE(0x88890019u);
constexpr HRESULT AUDCLNT_E_INVALID_DEVICE_PERIOD = MAKE_HRESULT_CODE(0x88890020u);
constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = MAKE_HRESULT_CODE(0x08890001u);
constexpr HRESULT AUDCLNT_S_THREAD_ALREADY_REGISTERED = MAKE_HRESULT_CODE(0x08890002u);
constexpr HRESULT AUDCLNT_S_POSITION_STALLED = MAKE_HRESULT_CODE(0x08890003u);

// {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
inline constexpr IID IID_IAudioClient = {
    0x1cb9ad4c, 0xdbfa, 0x4c32, {0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7, 0x03, 0xb2}};
// {F294ACFC-3146-4483-A7BF-ADDCA7C260E2}
inline constexpr IID IID_IAudioRenderClient = {
    0xf294acfc, 0x3146, 0x4483, {0xa7, 0xbf, 0xad, 0xdc, 0xa7, 0xc2, 0x60, 0xe2}};
// {C8ADBD64-E71E-48A0-A4DE-185C395CD317}
inline constexpr IID IID_IAudioCaptureClient = {
    0xc8adbd64, 0xe71e, 0x48a0, {0xa4, 0xde, 0x18, 0x5c, 0x39, 0x5c, 0xd3, 0x17}};
// {24918ACC-64B3-37C1-8CA9-74A66E9957A8}
inline constexpr IID IID_IAudioSessionEvents = {
    0x24918acc, 0x64b3, 0x37c1, {0x8c, 0xa9, 0x74, 0xa6, 0x6e, 0x99, 0x57, 0xa8}};
// {C02216F6-8C67-4B5B-9D00-D008E73E0064}
inline constexpr IID IID_IAudioMeterInformation = {
    0xc02216f6, 0x8c67, 0x4b5b, {0x9d, 0x00, 0xd0, 0x08, 0xe7, 0x3e, 0x00, 0x64}};
// {5CDF2C82-841E-4546-9722-0CF74078229A}
inline constexpr IID IID_IAudioEndpointVolume = {
    0x5cdf2c82, 0x841e, 0x4546, {0x97, 0x22, 0x0c, 0xf7, 0x40, 0x78, 0x22, 0x9a}};
// {657804FA-D6AD-4496-8A60-352752AF4F89}
inline constexpr IID IID_IAudioEndpointVolumeCallback = {
    0x657804fa, 0xd6ad, 0x4496, {0x8a, 0x60, 0x35, 0x27, 0x52, 0xaf, 0x4f, 0x89}};

struct IAudioClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                                               REFERENCE_TIME hnsBufferDuration,
                                               REFERENCE_TIME hnsPeriodicity,
                                               const WAVEFORMATEX* pFormat,
                                               const GUID* AudioSessionGuid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* pNumBufferFrames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* phnsLatency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* pNumPaddingFrames) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE ShareMode,
                                                      const WAVEFORMATEX* pFormat,
                                                      WAVEFORMATEX** ppClosestMatch) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** ppDeviceFormat) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* phnsDefaultDevicePeriod,
                                                    REFERENCE_TIME* phnsMinimumDevicePeriod) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) = 0;

 protected:
  ~IAudioClient() = default;
};

struct IAudioRenderClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) = 0;

 protected:
  ~IAudioRenderClient() = default;
};

struct IAudioCaptureClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead,
                                              DWORD* pdwFlags, UINT64* pu64DevicePosition,
                                              UINT64* pu64QPCPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 NumFramesRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* pNumFramesInNextPacket) = 0;

 protected:
  ~IAudioCaptureClient() = default;
};

enum AudioSessionState {
  AudioSessionStateInactive = 0,
  AudioSessionStateActive = 1,
  AudioSessionStateExpired = 2
};
enum AudioSessionDisconnectReason {
  DisconnectReasonDeviceRemoval = 0,
  DisconnectReasonServerShutdown = 1,
  DisconnectReasonFormatChanged = 2,
  DisconnectReasonSessionLogoff = 3,
  DisconnectReasonSessionDisconnected = 4,
  DisconnectReasonExclusiveModeOverride = 5
};
using LPCGUID = const GUID*;

struct IAudioSessionEvents : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR NewDisplayName,
                                                         LPCGUID EventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR NewIconPath,
                                                      LPCGUID EventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float NewVolume, BOOL NewMute,
                                                          LPCGUID EventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD ChannelCount,
                                                           float NewChannelVolumeArray[],
                                                           DWORD ChangedChannel,
                                                           LPCGUID EventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID NewGroupingParam,
                                                           LPCGUID EventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState NewState) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  OnSessionDisconnected(AudioSessionDisconnectReason DisconnectReason) = 0;

 protected:
  ~IAudioSessionEvents() = default;
};

constexpr DWORD ENDPOINT_HARDWARE_SUPPORT_VOLUME = 0x1;
constexpr DWORD ENDPOINT_HARDWARE_SUPPORT_MUTE = 0x2;
constexpr DWORD ENDPOINT_HARDWARE_SUPPORT_METER = 0x4;

struct IAudioMeterInformation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* pfPeak) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* pnChannelCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 u32ChannelCount,
                                                          float* afPeakValues) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* pdwHardwareSupportMask) = 0;

 protected:
  ~IAudioMeterInformation() = default;
};

struct AUDIO_VOLUME_NOTIFICATION_DATA {
  GUID guidEventContext;
  BOOL bMuted;
  float fMasterVolume;
  UINT nChannels;
  float afChannelVolumes[1];
};
using PAUDIO_VOLUME_NOTIFICATION_DATA = AUDIO_VOLUME_NOTIFICATION_DATA*;

struct IAudioEndpointVolumeCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA pNotify) = 0;

 protected:
  ~IAudioEndpointVolumeCallback() = default;
};

struct IAudioEndpointVolume : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE
  RegisterControlChangeNotify(IAudioEndpointVolumeCallback* pNotify) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* pNotify) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* pnChannelCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(float fLevelDB,
                                                         LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float fLevel,
                                                               LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(float* pfLevelDB) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float* pfLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT nChannel, float fLevelDB,
                                                          LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT nChannel, float fLevel,
                                                                LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT nChannel, float* pfLevelDB) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT nChannel, float* pfLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMute(BOOL bMute, LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMute(BOOL* pbMute) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT* pnStep, UINT* pnStepCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID pguidEventContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* pdwHardwareSupportMask) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVolumeRange(float* pflVolumeMindB, float* pflVolumeMaxdB,
                                                   float* pflVolumeIncrementdB) = 0;

 protected:
  ~IAudioEndpointVolume() = default;
};
