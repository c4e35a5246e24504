// Sound sources whose every sample is a known function of its stream position and channel, for
// tests of sockets that move, split and reorder frames. They record every pull they receive.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "graph/bitstream_tag.h"
#include "graph/frames.h"
#include "graph/sound_pull_socket.h"
#include "samples/sample_format.h"

namespace halvern::testing {

// Never 0 for a frame of the stream, so silence is told apart from data.
inline std::int16_t RampSample(std::int64_t position, int channel) {
  return static_cast<std::int16_t>((position * 7 + channel * 1013) % 30011 + 1);
}

class RampTag : public CBitstreamTag {};

// A 16-bit stream of `length` frames (kUnspecifiedFrames: unbounded) that honours explicit
// positions. It has no frames at or after `available` (a source that ends before its length)
// and puts a tag on every frame whose position is a multiple of `tagEvery`.
class CRampSource : public CSoundPullSocket {
 public:
  struct Call {
    std::int64_t count;
    std::int64_t position;
    const std::uint8_t* data;
  };

  CRampSource(std::int32_t channelCount, std::int64_t length, std::int64_t available = -1,
              std::int64_t tagEvery = 0, std::int32_t rate = 48000)
      : CSoundPullSocket(CSoundTraits(kFormatInt16, channelCount, rate)),
        m_Length(length),
        m_Available(available < 0 ? INT64_MAX : available),
        m_TagEvery(tagEvery) {}

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    AssertConsistency(block.traits);
    tags.Clear();
    calls.push_back({count, position, block.data});
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    std::int64_t n =
        std::clamp<std::int64_t>(m_Available - at, 0, std::max<std::int64_t>(count, 0));
    if (m_Length != kUnspecifiedFrames) n = std::clamp<std::int64_t>(m_Length - at, 0, n);
    for (std::int64_t f = 0; f < n; ++f, ++at) {
      for (int c = 0; c < channels; ++c) {
        const std::int16_t sample = RampSample(at, c);
        std::memcpy(block.data + f * frameSize + 2 * c, &sample, 2);
      }
      if (m_TagEvery > 0 && at % m_TagEvery == 0) tags.Insert(new RampTag, at);
    }
    m_Next = at;
    return n;
  }
  std::int64_t GetLength() override { return m_Length; }

  std::vector<Call> calls;

 private:
  std::int64_t m_Length;
  std::int64_t m_Available;
  std::int64_t m_TagEvery;
  std::int64_t m_Next = 0;
};

// A float stream of `length` frames (kUnspecifiedFrames: unbounded) whose sample at frame p of
// channel c is wave(p, c); honours explicit positions.
class CWaveSource : public CSoundPullSocket {
 public:
  using Wave = std::function<double(std::int64_t, int)>;

  CWaveSource(std::int32_t channelCount, std::int32_t rate, std::int64_t length, Wave wave,
              std::int64_t tagEvery = 0)
      : CSoundPullSocket(CSoundTraits(kFormatFloat, channelCount, rate)),
        m_Length(length),
        m_Wave(std::move(wave)),
        m_TagEvery(tagEvery) {}

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    AssertConsistency(block.traits);
    tags.Clear();
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    std::int64_t n = std::max<std::int64_t>(count, 0);
    if (m_Length != kUnspecifiedFrames) n = std::clamp<std::int64_t>(m_Length - at, 0, n);
    auto* out = reinterpret_cast<float*>(block.data);
    for (std::int64_t f = 0; f < n; ++f, ++at) {
      for (int c = 0; c < channels; ++c) out[f * channels + c] = static_cast<float>(m_Wave(at, c));
      if (m_TagEvery > 0 && at % m_TagEvery == 0) tags.Insert(new RampTag, at);
    }
    m_Next = at;
    return n;
  }
  std::int64_t GetLength() override { return m_Length; }

 private:
  std::int64_t m_Length;
  Wave m_Wave;
  std::int64_t m_TagEvery;
  std::int64_t m_Next = 0;
};

inline std::int16_t SampleAt(const std::uint8_t* frames, std::int64_t frame, int channel,
                             int channelCount) {
  std::int16_t sample;
  std::memcpy(&sample, frames + (frame * channelCount + channel) * 2, 2);
  return sample;
}

inline std::vector<std::int64_t> TagPositions(const CTagList& tags) {
  std::vector<std::int64_t> positions;
  for (const auto* entry = tags.Head(); entry != nullptr; entry = entry->next)
    positions.push_back(entry->position);
  return positions;
}

}  // namespace halvern::testing
