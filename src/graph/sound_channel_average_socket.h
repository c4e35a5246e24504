// Mixes a float stream of any channel count down to one channel: the mean of all its channels.
// The chain builder uses it where a pairwise mixdown would mix more than two channels wrongly.
#pragma once

#include <cstdint>

#include "graph/data_storage.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundChannelAverageSocket : public CSoundPullSocket {
 public:
  // The source must be float; throws kErrBadArgument otherwise. Reads at most `chunk`
  // source frames at a time.
  CSoundChannelAverageSocket(const TCountedRef<CSoundPullSocket>& source, std::int64_t chunk);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  TCountedRef<CSoundPullSocket> m_Source;
  CDataStorage m_Scratch;
};

}  // namespace halvern
