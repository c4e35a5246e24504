// The sound form of the re-randomizer: the same positions, and the source's sound format.
#pragma once

#include <cstdint>

#include "graph/data_re_randomizer_pull_socket.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundReRandomizerPullSocket : public CSoundPullSocket, public CDataReRandomizerPullSocket {
 public:
  explicit CSoundReRandomizerPullSocket(const TCountedRef<CSoundPullSocket>& source);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  TCountedRef<CSoundPullSocket> m_SoundSource;
};

}  // namespace halvern
