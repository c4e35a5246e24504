// Small facts about wave-format records that the endpoints need: how much of one to copy, and which
// sample format code of the conversion library describes its samples.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace halvern {

// Copies a format into a WAVEFORMATEXTENSIBLE: as many bytes as the record says it has (18 plus its
// extension, at most 40), the rest zero. A null source gives a zero format.
void CopyWaveFormat(const WAVEFORMATEX* from, WAVEFORMATEXTENSIBLE* to);

// The code a render chain end or a capture socket uses for a stream format: 16 bits -> 2, 24 -> 3,
// 32 with WAVE_FORMAT_PCM -> 5, 32 with WAVE_FORMAT_EXTENSIBLE -> 6 (float; the sub-format is not
// looked at), anything else 0.
std::int32_t StreamSampleFormatCode(const WAVEFORMATEX& format);

// The code the capture meter processes by bit depth alone: 8 -> 1, 16 -> 2, 32 -> 6; 0 otherwise.
std::int32_t MeterSampleFormatCode(const WAVEFORMATEX& format);

}  // namespace halvern
