#include "devices/endpoint_info.h"

#include <cstring>

namespace halvern {

namespace {

template <size_t N>
void CopyString(KovraChar16 (&to)[N], const WCHAR* from) {
  size_t i = 0;
  for (; i + 1 < N && from[i] != 0; ++i) to[i] = static_cast<KovraChar16>(from[i]);
  to[i] = 0;
}

}  // namespace

HRESULT ConvertEndpointInfo(const EndpointInfo* info, DeviceEndpointRecord* record) {
  if (info == nullptr || record == nullptr) return E_POINTER;
  std::memset(record, 0, sizeof(*record));
  CopyString(record->id, info->id);
  CopyString(record->interfaceName, info->interfaceName);
  CopyString(record->friendlyName, info->friendlyName);
  CopyString(record->description, info->description);
  record->formFactor = info->formFactor;
  record->role = info->role;
  record->isDefault = info->isDefault ? 1u : 0u;
  const WAVEFORMATEXTENSIBLE& format = info->deviceFormat;
  record->channels = format.Format.nChannels;
  record->sampleRate = format.Format.nSamplesPerSec;
  record->bitsPerSample = format.Format.wBitsPerSample;
  record->channelMask = format.dwChannelMask;
  return S_OK;
}

}  // namespace halvern
