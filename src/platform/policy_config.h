// The system's policy configuration object: an undocumented COM class that sets an endpoint's
// device format, default role and visibility, which no documented call does. The SDK does not
// declare it, so it is declared here once for both platforms: the library calls it through these
// types, and the simulated system implements them.
//
// Its interface changed id across Windows releases and kept its slot order, which is all the
// library relies on. The ids are three names for one slot layout, so each later variant derives
// from the earlier one without adding a slot, and an object implementing the newest is each of
// them.
//
// Declare these nowhere else: a second declaration with the same slots is binary-compatible, as COM
// is, but is another C++ type, and calling an object through an interface type it does not derive
// from is undefined behaviour (UBSan's vptr check reports it). For the same reason an object that
// answered only IID_IUnknown cannot be driven through these types on our platform.
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

// Slots 0-2 are IUnknown's. The library calls slots 4, 6, 9, 13 and 14; the others are declared
// only to keep those in place. Formats returned through WAVEFORMATEX** are allocated with
// CoTaskMemAlloc and freed by the caller.
struct IPolicyConfig : public IUnknown {
  // 3
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR deviceId, WAVEFORMATEX** format) = 0;
  // 4; defaultFormat FALSE reads the format in use.
  virtual HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR deviceId, INT defaultFormat,
                                                    WAVEFORMATEX** format) = 0;
  // 5
  virtual HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR deviceId) = 0;
  // 6
  virtual HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR deviceId, WAVEFORMATEX* endpointFormat,
                                                    WAVEFORMATEX* mixFormat) = 0;
  // 7, 8
  virtual HRESULT STDMETHODCALLTYPE GetProcessingPeriod(LPCWSTR deviceId, INT defaultPeriod,
                                                        LONGLONG* defaultPeriodHns,
                                                        LONGLONG* minimumPeriodHns) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetProcessingPeriod(LPCWSTR deviceId, LONGLONG* periodHns) = 0;
  // 9, 10
  virtual HRESULT STDMETHODCALLTYPE GetShareMode(LPCWSTR deviceId, DeviceShareMode* mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetShareMode(LPCWSTR deviceId, DeviceShareMode* mode) = 0;
  // 11, 12
  virtual HRESULT STDMETHODCALLTYPE GetPropertyValue(LPCWSTR deviceId, const PROPERTYKEY& key,
                                                     PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPropertyValue(LPCWSTR deviceId, const PROPERTYKEY& key,
                                                     PROPVARIANT* value) = 0;
  // 13, 14
  virtual HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR deviceId, ERole role) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR deviceId, BOOL visible) = 0;

 protected:
  ~IPolicyConfig() = default;
};

struct IPolicyConfigWindows10 : public IPolicyConfig {
 protected:
  ~IPolicyConfigWindows10() = default;
};

struct IPolicyConfigWindows10_1 : public IPolicyConfigWindows10 {
 protected:
  ~IPolicyConfigWindows10_1() = default;
};

}  // namespace halvern
