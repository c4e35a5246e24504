// The only Windows include of the project. On Windows it brings in the SDK; elsewhere it declares
// the subset of the Windows API the library uses, with the same names and signatures, implemented
// in platform/posix (kernel objects, threads, time, debugger output) and platform/simaudio (core audio).
#pragma once

// clang-format off: the order of the SDK headers matters (winsock2 before windows, initguid before
// the audio headers, shlobj after them).
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmreg.h>
#include <mmsystem.h>
#include <ks.h>
#include <ksmedia.h>
#include <objbase.h>
#include <propidl.h>
#include <propvarutil.h>
// From here on the SDK's DEFINE_GUID and DEFINE_PROPERTYKEY define (selectany) instead of declaring:
// the interface ids and property keys need no import library.
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <endpointvolume.h>
#include <functiondiscoverykeys_devpkey.h>
#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE  // keep the C runtime's string functions usable
#endif
#include <strsafe.h>
#if defined(__MINGW32__)
// mingw-w64 only forward-declares the endpoint meter; this is the SDK's declaration.
DEFINE_GUID(IID_IAudioMeterInformation, 0xc02216f6, 0x8c67, 0x4b5b, 0x9d, 0x00, 0xd0, 0x08, 0xe7,
            0x3e, 0x00, 0x64);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
MIDL_INTERFACE("C02216F6-8C67-4B5B-9D00-D008E73E0064")
IAudioMeterInformation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* pfPeak) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* pnChannelCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 u32ChannelCount,
                                                          float* afPeakValues) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* pdwHardwareSupportMask) = 0;
};
#pragma GCC diagnostic pop
__CRT_UUID_DECL(IAudioMeterInformation, 0xc02216f6, 0x8c67, 0x4b5b, 0x9d, 0x00, 0xd0, 0x08, 0xe7,
                0x3e, 0x00, 0x64)
#endif
// After the audio headers: shlobj.h fixes DEFINE_PROPERTYKEY to declare-only when it comes first.
#include <shlobj.h>
#include <psapi.h>
#include <avrt.h>
#include <cstdio>
#include <cwchar>
#else
#include "platform/posix/types.h"
#include "platform/posix/kernel.h"
#include "platform/posix/named_objects.h"
#include "platform/posix/process.h"
#include "platform/posix/com.h"
#endif

// clang-format on

#include <cstddef>

#include "platform/debug_output.h"

// The records that cross to the host and into property blobs keep the Windows layout here too.
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(offsetof(WAVEFORMATEX, nChannels) == 2 &&
              offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 && offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 &&
              offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(PROPERTYKEY) == 20 && offsetof(PROPERTYKEY, pid) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
