#include "graph/sound_push_socket.h"

#include "graph/sound_pull_socket.h"

namespace halvern {

CSoundPushSocket::CSoundPushSocket(const CSoundTraits& traits) {
  sampleFormat = traits.sampleFormat;
  channels = traits.channels;
  sampleRate = traits.sampleRate;
  SetDataTraits(SoundFrameSize(sampleFormat, channels));
}

void CSoundPushSocket::SetSampleFormat(const std::int32_t& format) {
  sampleFormat = format;
  frameSize = SoundFrameSize(format, channels);
}

void CSoundPushSocket::SetChannels(std::int32_t count) {
  channels = count;
  frameSize = SoundFrameSize(sampleFormat, count);
}

}  // namespace halvern
