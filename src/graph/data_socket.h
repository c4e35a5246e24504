// The common base of every socket: its data format and the one counted base it shares with all
// its other socket bases.
#pragma once

#include <cstdint>

#include "base/counted_object.h"
#include "graph/data_traits.h"

namespace halvern {

// A socket with several socket bases (a buffer is pulled and pushed) keeps one format record and
// one count: the socket bases are virtual.
class CDataSocket : public CDataTraits, public virtual CCountedObject {
 public:
  explicit CDataSocket(std::int32_t size = 0) : CDataTraits{size, 1} {}
  CDataSocket(const CDataSocket&) = delete;
  CDataSocket& operator=(const CDataSocket&) = delete;

  // Passes when both raw flags are zero or both non-zero and the frame sizes are equal; else
  // logs the mismatch and throws kErrBadArgument.
  void AssertConsistency(const CDataTraits& other) const;

 protected:
  void SetDataTraits(std::int32_t size) {
    frameSize = size;
    raw = 1;
  }
};

}  // namespace halvern
