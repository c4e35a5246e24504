#include "graph/sound_pull_socket.h"

#include "samples/sample_format.h"

namespace halvern {

std::int32_t SoundFrameSize(std::int32_t sampleFormat, std::int32_t channels) {
  return channels * SampleWidth(sampleFormat);
}

CSoundPullSocket::CSoundPullSocket(const CSoundTraits& traits) {
  sampleFormat = traits.sampleFormat;
  channels = traits.channels;
  sampleRate = traits.sampleRate;
  SetDataTraits(SoundFrameSize(sampleFormat, channels));
}

void CSoundPullSocket::SetSampleFormat(const std::int32_t& format) {
  sampleFormat = format;
  frameSize = SoundFrameSize(format, channels);
}

void CSoundPullSocket::SetChannels(std::int32_t count) {
  channels = count;
  frameSize = SoundFrameSize(sampleFormat, count);
}

bool CSoundPullSocket::ReplaceSource(const TCountedRef<CSoundPullSocket>& /*source*/) {
  return false;
}

}  // namespace halvern
