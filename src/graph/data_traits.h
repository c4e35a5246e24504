// The data format of a socket or a data block.
#pragma once

#include <cstdint>

namespace halvern {

struct CDataTraits {
  std::int32_t frameSize;  // bytes per frame
  // Non-zero: a frame is frameSize raw bytes. Zero: a frame is one counted reference slot
  // (TCountedRef<CCountedObject>), so the data is an array of references.
  std::int32_t raw;
};

}  // namespace halvern
