// The sound format of a socket: sample format code, channel count and frame rate.
#pragma once

#include <cstdint>

namespace halvern {

// The most channels the channel sockets split or assemble.
inline constexpr int kMaxChannels = 64;

class CSoundTraits {
 public:
  CSoundTraits() = default;
  CSoundTraits(std::int32_t format, std::int32_t channelCount, std::int32_t rate)
      : sampleFormat(format), channels(channelCount), sampleRate(rate) {}
  CSoundTraits(const CSoundTraits&) = default;
  CSoundTraits& operator=(const CSoundTraits&) = default;
  virtual ~CSoundTraits() = default;

  // In a plain record each setter only stores; sound sockets also recompute their frame size.
  virtual void SetSampleFormat(const std::int32_t& format) { sampleFormat = format; }
  virtual void SetChannels(std::int32_t count) { channels = count; }
  virtual void SetSampleRate(std::int32_t rate) { sampleRate = rate; }

  std::int32_t sampleFormat = 0;  // 0: a format outside the known list
  std::int32_t channels = 0;
  std::int32_t sampleRate = 0;  // frames per second
};

}  // namespace halvern
