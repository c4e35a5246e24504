#include "graph/sound_converter_input_socket.h"

#include <algorithm>

#include "graph/frames.h"

namespace halvern {

CSoundConverterInputSocket::CSoundConverterInputSocket(
    const TCountedRef<CSoundPullSocket>& source, std::int32_t targetFormat,
    const TCountedRef<CSampleFunnel::Filter>& filter, std::int64_t chunk)
    : CSoundPullSocket(CSoundTraits(targetFormat, source->channels, source->sampleRate)),
      m_Source(source),
      m_Filter(filter),
      m_Scratch(std::make_unique<CDataStorage>(source->frameSize, chunk)),
      m_Chunk(chunk) {
  Rebuild();
}

void CSoundConverterInputSocket::Rebuild() {
  m_Converter.reset();
  std::int64_t capacity = m_Scratch->capacity;
  if (m_Source->sampleFormat == sampleFormat && !m_Filter) {
    capacity = 0;
  } else {
    m_Converter = CSampleFunnel::Create(static_cast<std::uint32_t>(m_Source->sampleFormat),
                                        static_cast<std::uint32_t>(sampleFormat),
                                        static_cast<std::uint32_t>(channels), m_Filter);
    // A scratch emptied while frames passed straight through would make no progress now: it
    // gets back the size it was built with.
    if (capacity <= 0) capacity = m_Chunk;
  }
  if (m_Scratch->block.traits.frameSize != m_Source->frameSize || m_Scratch->capacity != capacity)
    m_Scratch = std::make_unique<CDataStorage>(m_Source->frameSize, capacity);
}

std::int64_t CSoundConverterInputSocket::GetLength() { return m_Source->GetLength(); }

bool CSoundConverterInputSocket::ReplaceSource(const TCountedRef<CSoundPullSocket>& source) {
  if (!source || source->channels != channels || source->sampleRate != sampleRate) return false;
  m_Source = source;
  Rebuild();
  return true;
}

std::int64_t CSoundConverterInputSocket::Pull(const CDataBlock& block, std::int64_t count,
                                              std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  // A starved live source reports frames it never wrote: they must read as silence, not as
  // whatever the block held before.
  const bool live = m_Source->GetLength() == kUnspecifiedFrames;
  if (!m_Converter) {
    if (live && block.traits.raw != 0) FillSilence(block, count);
    return m_Source->Pull(block, count, position, tags);
  }
  const CDataBlock& scratch = m_Scratch->block;
  CDataBlock destination = block;
  std::int64_t remaining = count;
  while (remaining > 0) {
    const std::int64_t n = std::min(remaining, m_Scratch->capacity);
    if (n <= 0) break;
    CTagList sourceTags;
    if (live) FillSilence(scratch, n);
    const std::int64_t got = m_Source->Pull(scratch, n, position, sourceTags);
    tags.Splice(sourceTags);
    if (got > 0)
      m_Converter->Convert(destination.traits.raw != 0 ? destination.data : nullptr, scratch.data,
                           static_cast<int>(got * channels));
    if (position != kUnspecifiedFrames) position += got;
    destination = destination.Advanced(got);
    remaining -= got;
    if (got < n) break;
  }
  return count - remaining;
}

}  // namespace halvern
