#include "graph/data_socket.h"

#include "base/error_codes.h"
#include "base/zub_log.h"
#include "graph/frames.h"

namespace halvern {

void CDataSocket::AssertConsistency(const CDataTraits& other) const {
  if ((raw == 0) == (other.raw == 0) && frameSize == other.frameSize) return;
  const CDataTraits& own = *this;
  // Written whatever the module levels say: this is always a bug in the graph.
  LogMessage(3, kZubTag, "", "CDataSocket::AssertConsistency",
             "Mismatched data traits at %p and %p: raw=%d/%d frameSize=%d/%d!\n",
             static_cast<const void*>(&own), static_cast<const void*>(&other), raw != 0 ? 1 : 0,
             other.raw != 0 ? 1 : 0, frameSize, other.frameSize);
  throw kErrBadArgument;
}

}  // namespace halvern
