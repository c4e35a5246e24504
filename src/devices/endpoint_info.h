// The device manager's description of one endpoint, and its conversion into the record the host
// receives.
#pragma once

#include <map>

#include "kovra_api.h"
#include "platform/utf16.h"
#include "platform/win32.h"

namespace halvern {

static_assert(sizeof(KovraChar16) == sizeof(WCHAR), "host strings are the platform's UTF-16");

// Zero-filled before use, so strings are zero beyond their terminator.
struct EndpointInfo {
  static constexpr size_t kChars = 256;  // 255 characters and the terminator

  WCHAR id[kChars];
  WCHAR interfaceName[kChars];  // the audio adapter; what the virtual card is found by
  WCHAR friendlyName[kChars];
  WCHAR description[kChars];
  UINT32 formFactor;
  bool isDefault;
  UINT32 role;  // the role the endpoint is the default of, else 0
  WAVEFORMATEXTENSIBLE deviceFormat;
};

// Endpoints by id, in ascending order of UTF-16 code units.
using EndpointMap = std::map<platform::WString, EndpointInfo>;

// Fills every field of `record` but dataFlow (the caller's) and visible (left 0).
HRESULT ConvertEndpointInfo(const EndpointInfo* info, DeviceEndpointRecord* record);

}  // namespace halvern
