// A pull socket that also carries a sound format; its frame size follows the format.
#pragma once

#include <cstdint>

#include "graph/data_pull_socket.h"
#include "graph/sound_traits.h"

namespace halvern {

class CSoundPullSocket : public virtual CDataPullSocket, public virtual CSoundTraits {
 public:
  explicit CSoundPullSocket(const CSoundTraits& traits);

  void SetSampleFormat(const std::int32_t& format) override;
  void SetChannels(std::int32_t count) override;

  // The sound-level operations follow here, in this order: sound PumpAll, sound Pump,
  // ConvertRateAndFormat, ConvertTo, SelectChannel, SelectStereo (the chain builder) and
  // ReplaceSource.
};

// channels x width(sampleFormat): 0 for a format outside the known list.
std::int32_t SoundFrameSize(std::int32_t sampleFormat, std::int32_t channels);

}  // namespace halvern
