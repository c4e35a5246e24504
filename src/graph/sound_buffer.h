// A finite in-memory sound stream: a data buffer that also carries its sound format.
#pragma once

#include <cstdint>

#include "graph/data_buffer.h"
#include "graph/sound_pull_socket.h"
#include "graph/sound_push_socket.h"

namespace halvern {

class CSoundBuffer : public CSoundPullSocket, public CSoundPushSocket, public CDataBuffer {
 public:
  // Silent storage of `length` frames in the given format.
  CSoundBuffer(const CSoundTraits& traits, std::int64_t length);

  // Both socket sides share one format record; either side's rule applies.
  void SetSampleFormat(const std::int32_t& format) override;
  void SetChannels(std::int32_t count) override;
};

}  // namespace halvern
