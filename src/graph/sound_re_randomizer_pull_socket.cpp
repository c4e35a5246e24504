#include "graph/sound_re_randomizer_pull_socket.h"

namespace halvern {

CSoundReRandomizerPullSocket::CSoundReRandomizerPullSocket(
    const TCountedRef<CSoundPullSocket>& source)
    : CSoundPullSocket(static_cast<const CSoundTraits&>(*source)),
      CDataReRandomizerPullSocket(TCountedRef<CDataPullSocket>(source.Get())),
      m_SoundSource(source) {}

std::int64_t CSoundReRandomizerPullSocket::Pull(const CDataBlock& block, std::int64_t count,
                                                std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  return CDataReRandomizerPullSocket::Pull(block, count, position, tags);
}

std::int64_t CSoundReRandomizerPullSocket::GetLength() { return m_SoundSource->GetLength(); }

}  // namespace halvern
