// A push socket that also carries a sound format; its frame size follows the format.
#pragma once

#include <cstdint>

#include "graph/data_push_socket.h"
#include "graph/sound_traits.h"

namespace halvern {

class CSoundPushSocket : public virtual CDataPushSocket, public virtual CSoundTraits {
 public:
  explicit CSoundPushSocket(const CSoundTraits& traits);
  CSoundPushSocket(const CSoundPushSocket&) = delete;
  CSoundPushSocket& operator=(const CSoundPushSocket&) = delete;

  void SetSampleFormat(const std::int32_t& format) override;
  void SetChannels(std::int32_t count) override;
};

}  // namespace halvern
