#include "graph/data_re_randomizer_pull_socket.h"

#include "graph/frames.h"

namespace halvern {

CDataReRandomizerPullSocket::CDataReRandomizerPullSocket(const TCountedRef<CDataPullSocket>& source)
    : m_Source(source) {
  frameSize = source->frameSize;
  raw = source->raw;
}

std::int64_t CDataReRandomizerPullSocket::Pull(const CDataBlock& block, std::int64_t count,
                                               std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  if (position != kUnspecifiedFrames) m_NextPosition = position;
  const std::int64_t delivered = m_Source->Pull(block, count, m_NextPosition, tags);
  if (delivered >= 1) m_NextPosition += delivered;
  return delivered;
}

std::int64_t CDataReRandomizerPullSocket::GetLength() { return m_Source->GetLength(); }

}  // namespace halvern
