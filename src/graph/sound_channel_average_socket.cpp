#include "graph/sound_channel_average_socket.h"

#include <algorithm>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "samples/sample_format.h"

namespace halvern {

CSoundChannelAverageSocket::CSoundChannelAverageSocket(const TCountedRef<CSoundPullSocket>& source,
                                                       std::int64_t chunk)
    : CSoundPullSocket(CSoundTraits(kFormatFloat, 1, source->sampleRate)),
      m_Source(source),
      m_Scratch(source->frameSize, chunk) {
  if (source->sampleFormat != kFormatFloat || source->channels < 1 || chunk < 1)
    throw kErrBadArgument;
}

std::int64_t CSoundChannelAverageSocket::GetLength() { return m_Source->GetLength(); }

std::int64_t CSoundChannelAverageSocket::Pull(const CDataBlock& block, std::int64_t count,
                                              std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  const std::int32_t sourceChannels = m_Source->channels;
  auto* destination = reinterpret_cast<float*>(block.data);
  const auto* scratch = reinterpret_cast<const float*>(m_Scratch.block.data);
  std::int64_t remaining = count;
  while (remaining > 0) {
    const std::int64_t n = std::min(remaining, m_Scratch.capacity);
    CTagList sourceTags;
    const std::int64_t got = m_Source->Pull(m_Scratch.block, n, position, sourceTags);
    tags.Splice(sourceTags);
    for (std::int64_t f = 0; f < got; ++f) {
      double sum = 0.0;
      for (std::int32_t c = 0; c < sourceChannels; ++c) sum += scratch[f * sourceChannels + c];
      destination[f] = static_cast<float>(sum / sourceChannels);
    }
    destination += got;
    remaining -= got;
    if (position != kUnspecifiedFrames) position += got;
    if (got < n) break;
  }
  return count - remaining;
}

}  // namespace halvern
