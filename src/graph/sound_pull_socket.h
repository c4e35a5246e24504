// A pull socket that also carries a sound format; its frame size follows the format.
#pragma once

#include <cstdint>

#include "graph/data_pull_socket.h"
#include "graph/sound_traits.h"

namespace halvern {

class CSoundPullSocket : public virtual CDataPullSocket, public virtual CSoundTraits {
 public:
  explicit CSoundPullSocket(const CSoundTraits& traits);
  // Sockets are never copied; building one from another socket takes its format explicitly.
  CSoundPullSocket(const CSoundPullSocket&) = delete;
  CSoundPullSocket& operator=(const CSoundPullSocket&) = delete;

  void SetSampleFormat(const std::int32_t& format) override;
  void SetChannels(std::int32_t count) override;

  // The chain builder's operations go here, before ReplaceSource and in this order: sound
  // PumpAll, sound Pump, ConvertRateAndFormat, ConvertTo, SelectChannel, SelectStereo.

  // Swaps the upstream socket for another of the same layout; false when the socket has no
  // replaceable source or refuses the new one.
  virtual bool ReplaceSource(const TCountedRef<CSoundPullSocket>& source);
};

// channels x width(sampleFormat): 0 for a format outside the known list.
std::int32_t SoundFrameSize(std::int32_t sampleFormat, std::int32_t channels);

}  // namespace halvern
