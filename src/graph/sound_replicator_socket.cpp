#include "graph/sound_replicator_socket.h"

#include "base/error_codes.h"
#include "graph/frames.h"
#include "graph/sample_copy.h"
#include "samples/sample_format.h"

namespace halvern {

CSoundReplicatorSocket::CSoundReplicatorSocket(const TCountedRef<CSoundPullSocket>& source,
                                               std::int32_t count)
    : CSoundPullSocket(CSoundTraits(source->sampleFormat, count, source->sampleRate)),
      m_Source(source) {
  if (source->channels != 1) throw kErrBadArgument;
}

std::int64_t CSoundReplicatorSocket::GetLength() { return m_Source->GetLength(); }

std::int64_t CSoundReplicatorSocket::Pull(const CDataBlock& block, std::int64_t count,
                                          std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  std::uint8_t* destination = block.traits.raw != 0 ? block.data : nullptr;
  CSoundPullSocket& source = *m_Source;
  const std::int64_t got = source.Pull(
      CDataBlock{static_cast<const CDataTraits&>(source), destination}, count, position, tags);
  if (destination != nullptr)
    sample_copy::ReplicateInPlace(destination, got, channels, SampleWidth(sampleFormat));
  return got;
}

}  // namespace halvern
