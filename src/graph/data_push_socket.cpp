#include "graph/data_push_socket.h"

namespace halvern {

void CDataPushSocket::Push(const CDataBlock& block, std::int64_t count, std::int64_t position) {
  AssertConsistency(block.traits);
  CTagList tags;
  Push(block, count, position, tags);
}

void CDataPushSocket::Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
                           CTagList& /*tags*/) {
  AssertConsistency(block.traits);
  Push(block, count, position);
}

void CDataPushSocket::Flush(int /*flags*/) {}

}  // namespace halvern
