// Writes per-channel sample buffers into an interleaved block.
#pragma once

#include <cstdint>

#include "base/counted_object.h"
#include "graph/data_block.h"
#include "graph/data_traits.h"
#include "graph/sound_traits.h"

namespace halvern {

// Its sound format is that of the socket that owns it; its setters only store (the frame size
// is fixed at construction).
class CSoundChannelInterleaver : public CSoundTraits,
                                 public CDataTraits,
                                 public virtual CCountedObject {
 public:
  explicit CSoundChannelInterleaver(const CSoundTraits& traits);

  // Frame f of the block receives sample f of channelData[c] as its sample c, for every channel.
  // The caller's pointers are not moved.
  virtual void Interleave(const CDataBlock& block, const std::uint8_t* const* channelData,
                          std::int64_t& frames);
};

}  // namespace halvern
