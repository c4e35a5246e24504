// Mixes a two-channel stream down to one channel: the mean of the two samples.
#pragma once

#include <cstdint>

#include "graph/sound_buffer.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CSoundMixdownSocket : public CSoundPullSocket {
 public:
  // `traits`: the mix format (16-bit integer or 32-bit float), one channel, the source's rate.
  // The source is a two-channel stream in that format, read through `scratch` (a buffer in
  // the source's traits). Any other combination throws kErrBadArgument.
  CSoundMixdownSocket(const CSoundTraits& traits, const TCountedRef<CSoundPullSocket>& source,
                      const TCountedRef<CSoundBuffer>& scratch);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

 private:
  TCountedRef<CSoundPullSocket> m_Source;
  TCountedRef<CSoundBuffer> m_Scratch;
};

}  // namespace halvern
