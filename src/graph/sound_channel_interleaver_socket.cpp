#include "graph/sound_channel_interleaver_socket.h"

#include <algorithm>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "samples/sample_format.h"

namespace halvern {

namespace {

CSoundTraits InterleavedTraits(std::int32_t count, const TCountedRef<CSoundPullSocket>* sources) {
  if (count < 1 || sources == nullptr || !sources[0]) throw kErrBadArgument;
  return CSoundTraits(sources[0]->sampleFormat, count, sources[0]->sampleRate);
}

}  // namespace

CSoundChannelInterleaverSocket::CSoundChannelInterleaverSocket(
    std::int32_t count, const TCountedRef<CSoundPullSocket>* sources, std::int64_t chunk)
    : CSoundPullSocket(InterleavedTraits(count, sources)),
      m_Count(count),
      m_Sources(new TCountedRef<CSoundPullSocket>[static_cast<std::size_t>(count)]),
      m_Interleaver(new CSoundChannelInterleaver(*this)),
      m_Planes(frameSize, chunk) {
  for (int i = 0; i < count; ++i) {
    if (!sources[i] || sources[i]->channels != 1 || sources[i]->sampleRate != sampleRate)
      throw kErrBadArgument;  // the array and its references go with the members
    m_Sources[i] = sources[i];
  }
}

std::int64_t CSoundChannelInterleaverSocket::GetLength() { return m_Sources[0]->GetLength(); }

std::int64_t CSoundChannelInterleaverSocket::Pull(const CDataBlock& block, std::int64_t count,
                                                  std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  const std::int64_t requested = count;
  if (m_Count > kMaxChannels) throw kErrBadArgument;
  const int width = SampleWidth(sampleFormat);
  const std::int64_t chunk = m_Planes.capacity;
  std::uint8_t* planes[kMaxChannels] = {};
  for (int i = 0; i < m_Count; ++i)
    planes[i] = m_Planes.block.traits.raw != 0 && m_Planes.block.data != nullptr
                    ? m_Planes.block.data + static_cast<std::int64_t>(i) * width * chunk
                    : nullptr;

  CDataBlock out = block;
  while (count > 0) {
    const std::int64_t want = std::min(count, chunk);
    std::int64_t n = want;
    for (int i = 0; i < m_Count; ++i) {
      CSoundPullSocket& source = *m_Sources[i];
      CTagList sourceTags;
      const std::int64_t got = source.Pull(
          CDataBlock{static_cast<const CDataTraits&>(source), planes[i]}, n, position, sourceTags);
      tags.Splice(sourceTags);
      n = std::min(n, got);
    }
    m_Interleaver->Interleave(out, planes, n);
    out = out.Advanced(n);
    if (position != kUnspecifiedFrames) position += n;
    count -= n;
    if (n < want) break;
  }
  return requested - count;
}

}  // namespace halvern
