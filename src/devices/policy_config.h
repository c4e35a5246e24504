// The system's policy configuration object: an undocumented COM class that sets an endpoint's
// device format, default role and visibility. Its interface changed id across Windows releases but
// kept the slot order below, which is all the device manager relies on; the same declaration serves
// the Windows SDK and the simulated platform.
#pragma once

#include "platform/win32.h"

namespace halvern {

// {870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}
inline constexpr CLSID CLSID_CPolicyConfigClient = {
    0x870af99c, 0x171d, 0x4f9e, {0xaf, 0x0d, 0xe6, 0x3d, 0xf4, 0x0c, 0x2b, 0xc9}};
// {F8679F50-850A-41CF-9C72-430F290290C8}
inline constexpr IID IID_IPolicyConfig = {
    0xf8679f50, 0x850a, 0x41cf, {0x9c, 0x72, 0x43, 0x0f, 0x29, 0x02, 0x90, 0xc8}};
// {CA286FC3-91FD-42C3-8E9B-CAAFA66242E3}
inline constexpr IID IID_IPolicyConfigWindows10 = {
    0xca286fc3, 0x91fd, 0x42c3, {0x8e, 0x9b, 0xca, 0xaf, 0xa6, 0x62, 0x42, 0xe3}};
// {6BE54BE8-A068-4875-A49D-0C2966473B11}
inline constexpr IID IID_IPolicyConfigWindows10_1 = {
    0x6be54be8, 0xa068, 0x4875, {0xa4, 0x9d, 0x0c, 0x29, 0x66, 0x47, 0x3b, 0x11}};

// Share mode as the policy object reports it.
enum DeviceShareMode : INT { DeviceShared = 0, DeviceExclusive = 1 };

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
// Slots 3-14 after IUnknown's three. Formats returned through WAVEFORMATEX** are allocated with
// CoTaskMemAlloc and freed by the caller.
struct IPolicyConfig : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR deviceId, WAVEFORMATEX** format) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR deviceId, INT defaultFormat,
                                                    WAVEFORMATEX** format) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR deviceId) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR deviceId, WAVEFORMATEX* endpointFormat,
                                                    WAVEFORMATEX* mixFormat) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProcessingPeriod(LPCWSTR deviceId, INT defaultPeriod,
                                                        LONGLONG* defaultPeriodHns,
                                                        LONGLONG* minimumPeriodHns) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetProcessingPeriod(LPCWSTR deviceId, LONGLONG* periodHns) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetShareMode(LPCWSTR deviceId, DeviceShareMode* mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetShareMode(LPCWSTR deviceId, DeviceShareMode* mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyValue(LPCWSTR deviceId, const PROPERTYKEY& key,
                                                     PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPropertyValue(LPCWSTR deviceId, const PROPERTYKEY& key,
                                                     PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR deviceId, ERole role) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR deviceId, INT visible) = 0;

 protected:
  ~IPolicyConfig() = default;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace halvern
