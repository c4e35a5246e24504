#include "graph/sound_channel_interleaver.h"

#include "graph/sample_copy.h"
#include "graph/sound_pull_socket.h"
#include "samples/sample_format.h"

namespace halvern {

CSoundChannelInterleaver::CSoundChannelInterleaver(const CSoundTraits& traits)
    : CSoundTraits(traits.sampleFormat, traits.channels, traits.sampleRate),
      CDataTraits{SoundFrameSize(traits.sampleFormat, traits.channels), 1} {}

void CSoundChannelInterleaver::Interleave(const CDataBlock& block,
                                          const std::uint8_t* const* channelData,
                                          std::int64_t& frames) {
  const int width = SampleWidth(sampleFormat);
  const std::int32_t stride = block.traits.frameSize;
  for (int c = 0; c < channels; ++c)
    sample_copy::CopyStrided(block.data + static_cast<std::ptrdiff_t>(c) * width, stride,
                             channelData[c], width, frames, width);
}

}  // namespace halvern
