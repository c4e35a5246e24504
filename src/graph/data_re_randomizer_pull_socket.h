// Gives a source explicit, consecutive positions: a consumer that pulls without positions drives
// the source from 0 on, and a consumer may jump by giving a position.
#pragma once

#include <cstdint>

#include "graph/data_pull_socket.h"

namespace halvern {

class CDataReRandomizerPullSocket : public virtual CDataPullSocket {
 public:
  explicit CDataReRandomizerPullSocket(const TCountedRef<CDataPullSocket>& source);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  TCountedRef<CDataPullSocket> m_Source;
  std::int64_t m_NextPosition = 0;
};

}  // namespace halvern
