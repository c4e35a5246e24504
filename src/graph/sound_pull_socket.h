// A pull socket that also carries a sound format; its frame size follows the format.
#pragma once

#include <cstdint>

#include "graph/chain_settings.h"
#include "graph/data_pull_socket.h"
#include "graph/sound_push_socket.h"
#include "graph/sound_traits.h"

namespace halvern {

class CSoundPullSocket : public virtual CDataPullSocket, public virtual CSoundTraits {
 public:
  explicit CSoundPullSocket(const CSoundTraits& traits);
  // Sockets are never copied; building one from another socket takes its format explicitly.
  CSoundPullSocket(const CSoundPullSocket&) = delete;
  CSoundPullSocket& operator=(const CSoundPullSocket&) = delete;

  void SetSampleFormat(const std::int32_t& format) override;
  void SetChannels(std::int32_t count) override;

  using CDataPullSocket::Pump;
  using CDataPullSocket::PumpAll;
  // Pump this stream into a sound target through ConvertTo(target's format) with whole-stream
  // settings: the whole converted stream, or up to `limit` frames of it.
  virtual void PumpAll(const TCountedRef<CSoundPushSocket>& target, CQuality quality,
                       CChunkFrames chunk, CProgressObserver* progress);
  virtual std::int64_t Pump(const TCountedRef<CSoundPushSocket>& target, std::int64_t& limit,
                            std::int64_t& sourcePosition, std::int64_t& targetPosition,
                            CQuality quality, CChunkFrames chunk, CProgressObserver* progress);
  // Same channels, target rate and sample format: a rate converter when the rates differ, then
  // always a format converter. Throws kErrBadArgument for another channel count.
  virtual TCountedRef<CSoundPullSocket> ConvertRateAndFormat(const CSoundTraits& target,
                                                             const CChainSettings& settings);
  // A chain that delivers this stream in the target's format, channel count and rate.
  // RenderChainSettings gives the settings of a render endpoint's chain.
  virtual TCountedRef<CSoundPullSocket> ConvertTo(const CSoundTraits& target,
                                                  const CChainSettings& settings);
  // Channel `index` modulo the channel count, as a mono stream; the second argument is unused.
  virtual TCountedRef<CSoundPullSocket> SelectChannel(std::int32_t index, std::int32_t unused,
                                                      std::int64_t chunk);
  // Channels 0 and 1; throws kErrBadArgument for a mono stream.
  virtual TCountedRef<CSoundPullSocket> SelectStereo(std::int64_t chunk);

  // Swaps the upstream socket for another of the same layout; false when the socket has no
  // replaceable source or refuses the new one.
  virtual bool ReplaceSource(const TCountedRef<CSoundPullSocket>& source);
};

// channels x width(sampleFormat): 0 for a format outside the known list.
std::int32_t SoundFrameSize(std::int32_t sampleFormat, std::int32_t channels);

}  // namespace halvern
