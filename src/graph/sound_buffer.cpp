#include "graph/sound_buffer.h"

namespace halvern {

CSoundBuffer::CSoundBuffer(const CSoundTraits& traits, std::int64_t length)
    : CSoundPullSocket(traits),
      CSoundPushSocket(traits),
      CDataBuffer(SoundFrameSize(traits.sampleFormat, traits.channels), length, false, nullptr, 0,
                  0) {}

void CSoundBuffer::SetSampleFormat(const std::int32_t& format) {
  CSoundPullSocket::SetSampleFormat(format);
}

void CSoundBuffer::SetChannels(std::int32_t count) { CSoundPullSocket::SetChannels(count); }

}  // namespace halvern
