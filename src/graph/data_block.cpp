#include "graph/data_block.h"

#include <cstring>

#include "base/counted_object.h"

namespace halvern {

namespace {

using Slot = TCountedRef<CCountedObject>;

Slot& SlotAt(const CDataBlock& block, std::int64_t index) {
  return *reinterpret_cast<Slot*>(block.data + index * block.traits.frameSize);
}

}  // namespace

// A negative count is treated as none: nothing is touched and the block does not move back.
CDataBlock FillSilence(const CDataBlock& block, std::int64_t frames) {
  if (frames <= 0) return block;
  if (block.traits.raw != 0) {
    std::memset(block.data, 0, static_cast<std::size_t>(frames * block.traits.frameSize));
  } else {
    for (std::int64_t i = 0; i < frames; ++i) SlotAt(block, i).Drop();
  }
  return block.Advanced(frames);
}

CDataBlock CopyFrames(const CDataBlock& destination, const CDataBlock& source,
                      std::int64_t frames) {
  if ((destination.traits.raw == 0) != (source.traits.raw == 0))
    return {destination.traits, nullptr};
  if (frames <= 0) return destination;
  if (destination.traits.raw != 0) {
    std::memmove(destination.data, source.data,
                 static_cast<std::size_t>(frames * destination.traits.frameSize));
  } else if (source.data > destination.data) {
    // Overlapping reference ranges: walk away from the side that is being overwritten.
    for (std::int64_t i = 0; i < frames; ++i) SlotAt(destination, i) = SlotAt(source, i);
  } else if (source.data < destination.data) {
    for (std::int64_t i = frames - 1; i >= 0; --i) SlotAt(destination, i) = SlotAt(source, i);
  }
  return destination.Advanced(frames);
}

}  // namespace halvern
