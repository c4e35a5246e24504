// The one fake source of the graph tests: a sound stream whose every sample is a known function
// of its stream position and channel, written by a generator the test picks. It honours explicit
// positions, records every pull, and can end before its length or tag chosen frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "graph/bitstream_tag.h"
#include "graph/frames.h"
#include "graph/sound_pull_socket.h"
#include "samples/sample_format.h"

namespace halvern::testing {

// Writes the sample of `channel` at stream `position` (SampleWidth bytes at `sample`).
using SampleGenerator = std::function<void(std::int64_t position, int channel, std::uint8_t*)>;

// 16-bit samples that are never 0, so silence is told apart from data.
inline std::int16_t RampSample(std::int64_t position, int channel) {
  return static_cast<std::int16_t>((position * 7 + channel * 1013) % 30011 + 1);
}
inline SampleGenerator Ramp() {
  return [](std::int64_t p, int c, std::uint8_t* out) {
    const std::int16_t s = RampSample(p, c);
    std::memcpy(out, &s, 2);
  };
}

// Bytes for samples of any width; `channelBase` shifts the channel so that several mono
// sources can carry different channels.
inline std::uint8_t PatternByte(std::int64_t position, int channel, int byte) {
  return static_cast<std::uint8_t>(position * 13 + channel * 59 + byte * 101 + 7);
}
inline SampleGenerator Pattern(int width, int channelBase = 0) {
  return [width, channelBase](std::int64_t p, int c, std::uint8_t* out) {
    for (int b = 0; b < width; ++b) out[b] = PatternByte(p, c + channelBase, b);
  };
}

// Float samples wave(position, channel).
inline SampleGenerator Wave(std::function<double(std::int64_t, int)> wave) {
  return [wave = std::move(wave)](std::int64_t p, int c, std::uint8_t* out) {
    const auto s = static_cast<float>(wave(p, c));
    std::memcpy(out, &s, 4);
  };
}

// 32-bit samples holding their own stream position.
inline SampleGenerator Positions() {
  return [](std::int64_t p, int, std::uint8_t* out) {
    const auto s = static_cast<std::int32_t>(p);
    std::memcpy(out, &s, 4);
  };
}

class FakeTag : public CBitstreamTag {};

class FakeSource : public CSoundPullSocket {
 public:
  struct Call {
    std::int64_t count, position;
    const std::uint8_t* data;
  };

  // `length` may be kUnspecifiedFrames (a live stream). There are no frames at or after `end`
  // (a source that stops early); a tag sits on every frame whose position divides by tagEvery.
  FakeSource(const CSoundTraits& traits, std::int64_t length, SampleGenerator generate,
             std::int64_t end = std::numeric_limits<std::int64_t>::max(), std::int64_t tagEvery = 0)
      : CSoundPullSocket(traits),
        m_Length(length),
        m_Generate(std::move(generate)),
        m_End(length == kUnspecifiedFrames ? end : std::min(end, length)),
        m_TagEvery(tagEvery) {}

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    AssertConsistency(block.traits);
    tags.Clear();
    calls.push_back({count, position, block.data});
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    const std::int64_t n =
        std::clamp<std::int64_t>(m_End - at, 0, std::max<std::int64_t>(count, 0));
    const int width = SampleWidth(sampleFormat);
    for (std::int64_t f = 0; f < n; ++f, ++at) {
      for (int c = 0; c < channels; ++c) m_Generate(at, c, block.data + f * frameSize + c * width);
      if (m_TagEvery > 0 && at % m_TagEvery == 0) tags.Insert(new FakeTag, at);
    }
    m_Next = at;
    return n;
  }
  std::int64_t GetLength() override { return m_Length; }

  std::vector<std::int64_t> CallPositions() const { return Field(&Call::position); }
  std::vector<std::int64_t> CallCounts() const { return Field(&Call::count); }

  std::vector<Call> calls;

 private:
  std::vector<std::int64_t> Field(std::int64_t Call::*field) const {
    std::vector<std::int64_t> values;
    for (const Call& call : calls) values.push_back(call.*field);
    return values;
  }

  std::int64_t m_Length;
  SampleGenerator m_Generate;
  std::int64_t m_End;
  std::int64_t m_TagEvery;
  std::int64_t m_Next = 0;
};

inline constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();

// 16-bit ramp of `channels` channels.
inline TCountedRef<FakeSource> RampSource(int channels, std::int64_t length,
                                          std::int64_t end = kNoEnd, std::int64_t tagEvery = 0,
                                          std::int32_t rate = 48000) {
  return new FakeSource(CSoundTraits(kFormatInt16, channels, rate), length, Ramp(), end, tagEvery);
}

// Float samples wave(position, channel).
inline TCountedRef<FakeSource> WaveSource(int channels, std::int32_t rate, std::int64_t length,
                                          std::function<double(std::int64_t, int)> wave,
                                          std::int64_t tagEvery = 0) {
  return new FakeSource(CSoundTraits(kFormatFloat, channels, rate), length, Wave(std::move(wave)),
                        kNoEnd, tagEvery);
}

// The byte pattern in any format.
inline TCountedRef<FakeSource> PatternSource(const CSoundTraits& traits, std::int64_t length,
                                             std::int64_t end = kNoEnd, int channelBase = 0,
                                             std::int64_t tagEvery = 0) {
  return new FakeSource(traits, length, Pattern(SampleWidth(traits.sampleFormat), channelBase), end,
                        tagEvery);
}

// The 16-bit sample of `channel` in frame `frame` of interleaved frames.
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

// The elements of `frames` as a block of frames of `frameSize` bytes.
template <class T>
CDataBlock BlockOf(std::vector<T>& frames, std::int32_t frameSize, std::size_t first = 0) {
  return {{frameSize, 1}, reinterpret_cast<std::uint8_t*>(frames.data() + first)};
}

// Pulls `count` frames at `position`; the delivered frames as elements of T.
template <class T = std::uint8_t>
std::vector<T> PullFrames(CDataPullSocket& socket, std::int64_t count,
                          std::int64_t position = kUnspecifiedFrames, CTagList* tags = nullptr) {
  const auto perFrame = static_cast<std::int64_t>(socket.frameSize / sizeof(T));
  std::vector<T> frames(static_cast<std::size_t>(count * perFrame));
  CTagList own;
  const std::int64_t got =
      socket.Pull(BlockOf(frames, socket.frameSize), count, position, tags ? *tags : own);
  frames.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0) * perFrame));
  return frames;
}

// Continued pulls of sizes from `sizes`, in turn, until `frames` frames arrived or a pull came
// back short; every pull's tags are gathered in `allTags` when given.
template <class T = std::uint8_t>
std::vector<T> PullInPieces(CDataPullSocket& socket, std::int64_t frames,
                            const std::vector<std::int64_t>& sizes, CTagList* allTags = nullptr) {
  const auto perFrame = socket.frameSize / sizeof(T);
  std::vector<T> all;
  for (std::size_t i = 0; all.size() < static_cast<std::size_t>(frames) * perFrame; ++i) {
    CTagList tags;
    const std::int64_t size = sizes[i % sizes.size()];
    const std::vector<T> piece = PullFrames<T>(socket, size, kUnspecifiedFrames, &tags);
    all.insert(all.end(), piece.begin(), piece.end());
    if (allTags != nullptr) allTags->Splice(tags);
    if (piece.size() < static_cast<std::size_t>(size) * perFrame) break;
  }
  return all;
}

}  // namespace halvern::testing
