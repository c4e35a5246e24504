// A socket that accepts frames its producer hands over.
#pragma once

#include <cstdint>

#include "graph/data_block.h"
#include "graph/data_socket.h"
#include "graph/tag_list.h"

namespace halvern {

class CDataPushSocket : public virtual CDataSocket {
 public:
  explicit CDataPushSocket(std::int32_t size = 0) { SetDataTraits(size); }
  CDataPushSocket(const CDataPushSocket&) = delete;
  CDataPushSocket& operator=(const CDataPushSocket&) = delete;

  // Stores `count` frames of the block at `position` (kUnspecifiedFrames: after the previous
  // push). The two forms forward to each other; a concrete socket overrides at least one.
  virtual void Push(const CDataBlock& block, std::int64_t count, std::int64_t position);
  virtual void Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags);
  // The pumps pass 0; no socket of the library needs it.
  virtual void Flush(int flags);
};

}  // namespace halvern
