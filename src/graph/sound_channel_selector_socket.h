// Picks K channels of a source, in any order and with repeats, as a K-channel stream.
#pragma once

#include <cstdint>

#include "graph/data_storage.h"
#include "graph/sound_channel_deinterleaver.h"
#include "graph/sound_channel_interleaver.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundChannelSelectorSocket : public CSoundPullSocket {
 public:
  // Output channel k carries source channel map[k]. Throws kErrBadArgument for more than
  // 64 channels on either side or a map entry outside the source's channels.
  CSoundChannelSelectorSocket(const TCountedRef<CSoundPullSocket>& source, std::int32_t count,
                              const std::int32_t* map, std::int64_t chunk);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;
  // Accepts a source with the old source's format, channel count and rate; keeps the map.
  bool ReplaceSource(const TCountedRef<CSoundPullSocket>& source) override;

 private:
  TCountedRef<CSoundChannelDeinterleaver> m_Deinterleaver;
  TCountedRef<CSoundChannelInterleaver> m_Interleaver;
  std::int32_t m_Map[kMaxChannels] = {};
  std::int64_t m_Chunk;
  CDataStorage m_Planes;
};

}  // namespace halvern
