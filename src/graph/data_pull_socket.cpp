#include "graph/data_pull_socket.h"

#include <algorithm>

#include "base/error_codes.h"
#include "graph/data_storage.h"
#include "graph/frames.h"

namespace halvern {

std::int64_t CDataPullSocket::Pull(const CDataBlock& block, std::int64_t count,
                                   std::int64_t position) {
  AssertConsistency(block.traits);
  CTagList tags;
  return Pull(block, count, position, tags);
}

std::int64_t CDataPullSocket::Pull(const CDataBlock& block, std::int64_t count,
                                   std::int64_t position, CTagList& /*tags*/) {
  AssertConsistency(block.traits);
  return Pull(block, count, position);
}

// Only the frame sizes count here: a pump moves bytes and never looks at the raw flag.
void CDataPullSocket::CheckPumpTarget(const CDataPushSocket& target) const {
  if (frameSize != target.frameSize) throw kErrBadArgument;
}

// A chunk below one frame could never make progress; the pumps then move nothing.
void CDataPullSocket::PumpAll(const TCountedRef<CDataPushSocket>& target, std::int64_t chunk,
                              CProgressObserver* progress) {
  const std::int64_t length = GetLength();
  const bool unbounded = length == kUnspecifiedFrames;
  std::int64_t position = unbounded ? kUnspecifiedFrames : 0;
  const std::int64_t end = unbounded ? 1 : length;
  CheckPumpTarget(*target);
  CDataStorage storage(frameSize, chunk);
  while (chunk > 0 && position < end) {
    const std::int64_t n = unbounded ? chunk : std::min(chunk, end - position);
    CTagList tags;
    const std::int64_t got = Pull(storage.block, n, position, tags);
    CDataBlock copy = storage.block;
    target->Push(copy, got, position, tags);
    if (!unbounded) position += got;
    if (progress != nullptr) progress->OnProgress(got);
    if (got < n) break;
  }
  target->Flush(0);
}

std::int64_t CDataPullSocket::Pump(const TCountedRef<CDataPushSocket>& target, std::int64_t& limit,
                                   std::int64_t& sourcePosition, std::int64_t& targetPosition,
                                   std::int64_t chunk, CProgressObserver* progress) {
  CheckPumpTarget(*target);
  std::int64_t total = 0;
  CDataStorage storage(frameSize, chunk);
  const bool limited = limit != kUnspecifiedFrames;
  while (chunk > 0 && !(limited && total >= limit)) {
    const std::int64_t n = limited ? std::min(chunk, limit - total) : chunk;
    CTagList tags;
    const std::int64_t got = Pull(storage.block, n, sourcePosition, tags);
    CDataBlock copy = storage.block;
    target->Push(copy, got, targetPosition, tags);
    total += got;
    if (sourcePosition != kUnspecifiedFrames) sourcePosition += got;
    if (targetPosition != kUnspecifiedFrames) targetPosition += got;
    if (progress != nullptr) progress->OnProgress(got);
    if (got < n) break;
  }
  target->Flush(0);
  return total;
}

std::int64_t CDataPullSocket::Skip(std::int64_t& count, std::int64_t& position,
                                   std::int64_t chunk) {
  CDataStorage storage(frameSize, chunk);
  const std::int64_t start = count;
  while (chunk > 0 && count > 0) {
    const std::int64_t n = std::min(chunk, count);
    CTagList tags;
    const std::int64_t got = Pull(storage.block, n, position, tags);
    if (position != kUnspecifiedFrames) position += got;
    count -= got;
    if (got < n) break;
  }
  return start - count;
}

}  // namespace halvern
