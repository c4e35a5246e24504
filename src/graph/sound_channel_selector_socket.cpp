#include "graph/sound_channel_selector_socket.h"

#include <algorithm>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "samples/sample_format.h"

namespace halvern {

CSoundChannelSelectorSocket::CSoundChannelSelectorSocket(
    const TCountedRef<CSoundPullSocket>& source, std::int32_t count, const std::int32_t* map,
    std::int64_t chunk)
    : CSoundPullSocket(CSoundTraits(source->sampleFormat, count, source->sampleRate)),
      m_Deinterleaver(new CSoundChannelDeinterleaver(source, chunk)),
      m_Interleaver(count != 1 ? new CSoundChannelInterleaver(*this) : nullptr),
      m_Chunk(chunk),
      m_Planes(SampleWidth(source->sampleFormat), count != 1 ? count * chunk : 0) {
  if (source->channels > kMaxChannels || count > kMaxChannels) throw kErrBadArgument;
  // A selector without output channels has nothing to deliver; refuse it like a bad map.
  if (count < 1) throw kErrBadArgument;
  for (int k = 0; k < count; ++k) {
    if (map[k] < 0 || map[k] >= source->channels) throw kErrBadArgument;
    m_Map[k] = map[k];
  }
}

std::int64_t CSoundChannelSelectorSocket::GetLength() {
  return m_Deinterleaver->GetSource()->GetLength();
}

std::int64_t CSoundChannelSelectorSocket::Pull(const CDataBlock& block, std::int64_t count,
                                               std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  std::uint8_t* sourceChannels[kMaxChannels] = {};
  const int outputs = channels;
  if (outputs == 1) {
    sourceChannels[m_Map[0]] = block.data;
    std::int64_t left = count;
    return m_Deinterleaver->Deinterleave(sourceChannels, left, position, tags);
  }

  const int width = SampleWidth(sampleFormat);
  const std::uint8_t* outputChannels[kMaxChannels] = {};
  CDataBlock out = block;
  std::int64_t delivered = 0;
  while (delivered < count) {
    const std::int64_t n = std::min(count - delivered, m_Chunk);
    std::fill(std::begin(sourceChannels), std::end(sourceChannels), nullptr);
    // A source channel selected twice is read once, into the plane of its first output.
    int planes = 0;
    for (int k = 0; k < outputs; ++k) {
      std::uint8_t*& plane = sourceChannels[m_Map[k]];
      if (plane == nullptr) plane = m_Planes.block.data + planes++ * n * width;
      outputChannels[k] = plane;
    }
    // The deinterleaver moves its own copies: the position advances once per pass, below.
    std::int64_t left = n;
    std::int64_t at = position;
    const std::int64_t got = m_Deinterleaver->Deinterleave(sourceChannels, left, at, tags);
    if (got < 1) break;
    std::int64_t frames = got;
    m_Interleaver->Interleave(out, outputChannels, frames);
    out = out.Advanced(got);
    if (position != kUnspecifiedFrames) position += got;
    delivered += got;
  }
  return delivered;
}

// Compared with the old source's layout rather than the selector's own: then the map stays
// valid and the planes keep their sample width.
bool CSoundChannelSelectorSocket::ReplaceSource(const TCountedRef<CSoundPullSocket>& source) {
  const TCountedRef<CSoundPullSocket> old = m_Deinterleaver->GetSource();
  if (!source || source->channels != old->channels || source->sampleRate != old->sampleRate ||
      source->sampleFormat != old->sampleFormat)
    return false;
  m_Deinterleaver = new CSoundChannelDeinterleaver(source, m_Chunk);
  return true;
}

}  // namespace halvern
