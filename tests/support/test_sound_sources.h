// A sound source for channel-socket tests whose every byte is a known function of its stream
// position, channel and byte index, so expected output can be computed independently.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_buffer.h"
#include "graph/sound_pull_socket.h"
#include "samples/sample_format.h"

namespace halvern::testing {

inline std::uint8_t PatternByte(std::int64_t position, int channel, int byte) {
  return static_cast<std::uint8_t>(position * 13 + channel * 59 + byte * 101 + 7);
}

class PatternTag : public CBitstreamTag {};

// Finite sources deliver [0, length); a length of kUnspecifiedFrames makes the stream unbounded.
// Either stops for good after `available` frames. `channelBase` shifts the pattern's channel
// number, so several mono sources can carry different channels. Tags at positions divisible by
// tagEvery.
class PatternSoundSource : public CSoundPullSocket {
 public:
  struct Call {
    std::int64_t count;
    std::int64_t position;
  };

  PatternSoundSource(const CSoundTraits& traits, std::int64_t length, std::int64_t available,
                     int channelBase = 0, std::int64_t tagEvery = 0)
      : CSoundPullSocket(traits),
        m_Length(length),
        m_Available(available),
        m_ChannelBase(channelBase),
        m_TagEvery(tagEvery) {}

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    AssertConsistency(block.traits);
    tags.Clear();
    calls.push_back({count, position});
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    std::int64_t n = std::max<std::int64_t>(0, std::min(count, m_Available - m_Delivered));
    if (m_Length != kUnspecifiedFrames) n = std::max<std::int64_t>(0, std::min(n, m_Length - at));
    const int width = SampleWidth(sampleFormat);
    for (std::int64_t f = 0; f < n; ++f, ++at) {
      for (int c = 0; c < channels; ++c)
        for (int b = 0; b < width; ++b)
          block.data[f * frameSize + c * width + b] = PatternByte(at, c + m_ChannelBase, b);
      if (m_TagEvery > 0 && at % m_TagEvery == 0) tags.Insert(new PatternTag, at);
    }
    m_Delivered += n;
    m_Next = at;
    return n;
  }
  std::int64_t GetLength() override { return m_Length; }

  std::vector<Call> calls;

 private:
  std::int64_t m_Length;
  std::int64_t m_Available;
  int m_ChannelBase;
  std::int64_t m_TagEvery;
  std::int64_t m_Delivered = 0;
  std::int64_t m_Next = 0;
};

// A sound buffer of `length` frames holding the pattern.
inline TCountedRef<CSoundBuffer> PatternBuffer(const CSoundTraits& traits, std::int64_t length,
                                               int channelBase = 0) {
  TCountedRef<CSoundBuffer> buffer(new CSoundBuffer(traits, length));
  TCountedRef<PatternSoundSource> source(
      new PatternSoundSource(traits, length, length, channelBase));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length * buffer->frameSize));
  source->Pull(CDataBlock{{buffer->frameSize, 1}, bytes.data()}, length, 0);
  buffer->Push(CDataBlock{{buffer->frameSize, 1}, bytes.data()}, length, 0);
  return buffer;
}

}  // namespace halvern::testing
