#include "endpoints/wave_format.h"

#include <algorithm>
#include <cstring>

#include "samples/sample_format.h"

namespace halvern {

void CopyWaveFormat(const WAVEFORMATEX* from, WAVEFORMATEXTENSIBLE* to) {
  *to = WAVEFORMATEXTENSIBLE{};
  if (from == nullptr) return;
  // A plain WAVEFORMATEX is only 18 bytes long: reading 40 would run past the caller's record.
  const std::size_t bytes =
      std::min<std::size_t>(sizeof(WAVEFORMATEXTENSIBLE), sizeof(WAVEFORMATEX) + from->cbSize);
  std::memcpy(to, from, bytes);
}

std::int32_t StreamSampleFormatCode(const WAVEFORMATEX& format) {
  switch (format.wBitsPerSample) {
    case 16:
      return kFormatInt16;
    case 24:
      return kFormatPacked24;
    case 32:
      if (format.wFormatTag == WAVE_FORMAT_PCM) return kFormatInt32;
      if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return kFormatFloat;
      return kFormatUnknown;
    default:
      return kFormatUnknown;
  }
}

std::int32_t MeterSampleFormatCode(const WAVEFORMATEX& format) {
  switch (format.wBitsPerSample) {
    case 8:
      return kFormatInt8;
    case 16:
      return kFormatInt16;
    case 32:
      return kFormatFloat;
    default:
      return kFormatUnknown;
  }
}

}  // namespace halvern
