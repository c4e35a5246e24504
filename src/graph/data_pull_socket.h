// A socket that delivers frames when its consumer asks for them.
//
// The pull contract: the block's traits match the socket's and it has room for `count` frames;
// the result is the number of frames written to its start, 0..count, and a short result means
// nothing more is available now. Position kUnspecifiedFrames continues the stream; an explicit
// position asks for random access, which buffers and re-randomizers honour. The tagged form
// replaces the caller's tags with those of the delivered frames.
#pragma once

#include <cstdint>

#include "base/counted_object.h"
#include "graph/data_block.h"
#include "graph/data_push_socket.h"
#include "graph/data_socket.h"
#include "graph/progress_observer.h"
#include "graph/tag_list.h"

namespace halvern {

class CDataPullSocket : public virtual CDataSocket {
 public:
  explicit CDataPullSocket(std::int32_t size = 0) { SetDataTraits(size); }
  CDataPullSocket(const CDataPullSocket&) = delete;
  CDataPullSocket& operator=(const CDataPullSocket&) = delete;

  // The two forms forward to each other; a concrete socket overrides at least one.
  virtual std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position);
  virtual std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                            CTagList& tags);
  // Frames in the stream, or kUnspecifiedFrames for an unbounded one.
  virtual std::int64_t GetLength() = 0;

  // Pulls the whole stream (an unbounded one until its first short pull) in chunks and pushes
  // each chunk into the target at the same position; flushes the target once at the end.
  virtual void PumpAll(const TCountedRef<CDataPushSocket>& target, std::int64_t chunk,
                       CProgressObserver* progress);
  // Moves up to `limit` frames (kUnspecifiedFrames: until a short pull); explicit positions
  // advance by what was moved. Returns the frames moved.
  virtual std::int64_t Pump(const TCountedRef<CDataPushSocket>& target, std::int64_t& limit,
                            std::int64_t& sourcePosition, std::int64_t& targetPosition,
                            std::int64_t chunk, CProgressObserver* progress);
  // Pulls and discards up to `count` frames; `count` is left at what could not be skipped.
  virtual std::int64_t Skip(std::int64_t& count, std::int64_t& position, std::int64_t chunk);

 protected:
  void CheckPumpTarget(const CDataPushSocket& target) const;
};

}  // namespace halvern
