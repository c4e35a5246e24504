// Spreads a mono stream over N channels, every channel carrying the same sample.
#pragma once

#include <cstdint>

#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundReplicatorSocket : public CSoundPullSocket {
 public:
  // Throws kErrBadArgument when the source is not mono.
  CSoundReplicatorSocket(const TCountedRef<CSoundPullSocket>& source, std::int32_t count);

  using CDataPullSocket::Pull;
  // The source writes its mono samples into the start of the caller's block, which is then
  // expanded in place.
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  TCountedRef<CSoundPullSocket> m_Source;
};

}  // namespace halvern
