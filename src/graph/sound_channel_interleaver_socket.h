// Assembles N mono streams into one N-channel stream.
#pragma once

#include <cstdint>
#include <memory>

#include "graph/data_storage.h"
#include "graph/sound_channel_interleaver.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundChannelInterleaverSocket : public CSoundPullSocket {
 public:
  // Takes the format of source 0 for all. Throws kErrBadArgument unless every source is
  // mono at source 0's rate.
  CSoundChannelInterleaverSocket(std::int32_t count, const TCountedRef<CSoundPullSocket>* sources,
                                 std::int64_t chunk);

  using CDataPullSocket::Pull;
  // Each source is asked only for what the sources before it delivered in the same pass.
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  std::int32_t m_Count;
  std::unique_ptr<TCountedRef<CSoundPullSocket>[]> m_Sources;
  TCountedRef<CSoundChannelInterleaver> m_Interleaver;
  CDataStorage m_Planes;
};

}  // namespace halvern
