// A non-owning view of frames, and the two operations that every socket moves frames with.
#pragma once

#include <cstdint>

#include "graph/data_traits.h"

namespace halvern {

struct CDataBlock {
  CDataTraits traits;
  std::uint8_t* data;

  CDataBlock Advanced(std::int64_t frames) const {
    return {traits, data + frames * static_cast<std::int64_t>(traits.frameSize)};
  }
};

// Silences n frames (raw: zero bytes; references: released to null); the block advanced by n.
CDataBlock FillSilence(const CDataBlock& block, std::int64_t frames);

// Copies n frames, overlapping ranges allowed; the destination advanced by n. A raw and a
// reference block do not mix: nothing is copied and the result has a null data pointer.
CDataBlock CopyFrames(const CDataBlock& destination, const CDataBlock& source, std::int64_t frames);

}  // namespace halvern
