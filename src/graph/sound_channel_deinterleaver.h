// Splits an interleaved source into one buffer per channel, pulling it through a scratch of
// chunk frames.
#pragma once

#include <cstdint>

#include "base/counted_object.h"
#include "graph/data_storage.h"
#include "graph/data_traits.h"
#include "graph/sound_pull_socket.h"
#include "graph/tag_list.h"

namespace halvern {

class CSoundChannelDeinterleaver : public CDataTraits, public virtual CCountedObject {
 public:
  CSoundChannelDeinterleaver(const TCountedRef<CSoundPullSocket>& source, std::int64_t chunk);

  // Writes each source channel c whose entry channels[c] is not null (one entry per source
  // channel) and returns the frames read. `count` is left at what was not delivered; an explicit
  // `position` advances by what was.
  virtual std::int64_t Deinterleave(std::uint8_t* const* channels, std::int64_t& count,
                                    std::int64_t& position, CTagList& tags);
  virtual std::int64_t Deinterleave(std::uint8_t* const* channels, std::int64_t& count,
                                    std::int64_t& position);
  virtual TCountedRef<CSoundPullSocket> GetSource();

 private:
  TCountedRef<CSoundPullSocket> m_Source;
  CDataStorage m_Scratch;
};

}  // namespace halvern
