#include "graph/sound_channel_deinterleaver.h"

#include <algorithm>
#include <cstring>

#include "graph/frames.h"
#include "graph/sample_copy.h"
#include "samples/sample_format.h"

namespace halvern {

CSoundChannelDeinterleaver::CSoundChannelDeinterleaver(const TCountedRef<CSoundPullSocket>& source,
                                                       std::int64_t chunk)
    : CDataTraits{source->frameSize, 1}, m_Source(source), m_Scratch(source->frameSize, chunk) {}

std::int64_t CSoundChannelDeinterleaver::Deinterleave(std::uint8_t* const* channels,
                                                      std::int64_t& count, std::int64_t& position,
                                                      CTagList& tags) {
  const int sourceChannels = std::clamp(m_Source->channels, 0, kMaxChannels);
  std::uint8_t* at[kMaxChannels];
  std::copy(channels, channels + sourceChannels, at);
  const int width = SampleWidth(m_Source->sampleFormat);
  const std::int64_t requested = count;
  std::int64_t remaining = count;
  const std::int64_t chunk = m_Scratch.capacity;
  const std::uint8_t* scratch = m_Scratch.block.data;
  std::int64_t got = 0;
  std::int64_t n = 0;
  do {
    n = std::min(chunk, remaining);
    got = m_Source->Pull(m_Scratch.block, n, position, tags);
    if (got > 0) {
      for (int c = 0; c < sourceChannels; ++c) {
        if (at[c] == nullptr) continue;
        if (sourceChannels == 1)
          std::memcpy(at[c], scratch, static_cast<std::size_t>(got * width));
        else
          sample_copy::CopyStrided(at[c], width, scratch + static_cast<std::ptrdiff_t>(c) * width,
                                   frameSize, got, width);
        at[c] += got * width;
      }
      if (position != kUnspecifiedFrames) position += got;
      remaining -= got;
    }
  } while (got >= n && remaining > 0 && n > 0);
  count = remaining;
  return requested - remaining;
}

std::int64_t CSoundChannelDeinterleaver::Deinterleave(std::uint8_t* const* channels,
                                                      std::int64_t& count, std::int64_t& position) {
  CTagList tags;
  return Deinterleave(channels, count, position, tags);
}

TCountedRef<CSoundPullSocket> CSoundChannelDeinterleaver::GetSource() { return m_Source; }

}  // namespace halvern
