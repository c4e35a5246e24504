#include "graph/sound_chunky_input_buffer.h"

#include <algorithm>
#include <limits>

#include "base/error_codes.h"
#include "graph/frames.h"

namespace halvern {

namespace {

std::int32_t CountChunks(std::int64_t length, std::int64_t chunk) {
  if (length == kUnspecifiedFrames) return CSoundChunkyInputBuffer::kUnboundedChunkCount;
  if (chunk <= 0) return 0;  // refused by the constructor
  const std::int64_t count = (length - 1) / chunk + 1;
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

CSoundChunkyInputBuffer::CSoundChunkyInputBuffer(const TCountedRef<CSoundPullSocket>& source,
                                                 std::int32_t windowChunks, std::int64_t chunk,
                                                 bool fillNow)
    : CSoundPullSocket(CSoundTraits(source->sampleFormat, source->channels, source->sampleRate)),
      m_Source(source),
      m_SourceLength(source->GetLength()),
      m_Margin(kMarginChunks * chunk),
      m_WindowChunks(windowChunks),
      m_Storage(source->frameSize, std::int64_t{2 * kMarginChunks} * chunk + windowChunks * chunk),
      m_Chunk(chunk),
      m_ChunkCount(CountChunks(m_SourceLength, chunk)) {
  if (chunk <= 0 || windowChunks <= 0) throw kErrBadArgument;
  if (fillNow) InitialFill();
}

std::int64_t CSoundChunkyInputBuffer::GetLength() { return m_SourceLength; }

CDataBlock CSoundChunkyInputBuffer::WindowBlock(std::int64_t windowChunk) const {
  return m_Storage.block.Advanced(m_Margin + windowChunk * m_Chunk);
}

void CSoundChunkyInputBuffer::InitialFill() {
  FillSilence(m_Storage.block, m_Margin);
  const std::int64_t total = m_WindowChunks * m_Chunk;
  std::int64_t wanted = total;
  if (m_SourceLength != kUnspecifiedFrames)
    wanted = std::clamp<std::int64_t>(m_SourceLength, 0, total);
  const CDataBlock window = WindowBlock(0);
  const std::int64_t got = wanted > 0 ? m_Source->Pull(window, wanted, 0, m_Tags) : 0;
  FillSilence(window.Advanced(got), total - got);
  if (got < wanted) m_SourceLength = got;
  FillSilence(WindowBlock(m_WindowChunks), m_Margin);
  m_Loaded = true;
}

void CSoundChunkyInputBuffer::Reload(std::int64_t first, std::int64_t count) {
  const std::int64_t start = (m_WindowFirst + first) * m_Chunk;
  const std::int64_t range = count * m_Chunk;
  std::int64_t wanted = range;
  if (m_SourceLength != kUnspecifiedFrames)
    wanted = std::clamp<std::int64_t>(m_SourceLength - start, 0, range);
  const CDataBlock block = WindowBlock(first);
  std::int64_t got = 0;
  if (wanted > 0) {
    CTagList fresh;
    got = m_Source->Pull(block, wanted, start, fresh);
    m_Tags.Splice(fresh);
  }
  // Also past a known end: the range may still hold frames of the window's previous place.
  FillSilence(block.Advanced(got), range - got);
  if (got < wanted) m_SourceLength = start + got;
}

CDataBlock CSoundChunkyInputBuffer::GetChunk(std::int32_t requested, CTagList* tags) {
  if (!m_Loaded) InitialFill();
  if (tags != nullptr) tags->Clear();
  std::int64_t index = requested;
  std::int64_t over = 0;
  if (index < 0) {
    over = std::max<std::int64_t>(index, -2);
    index = 0;
  } else if (index >= m_ChunkCount) {
    over = std::min<std::int64_t>(index - m_ChunkCount + 1, 2);
    index = m_ChunkCount - 1;
  }

  // The window keeps the chunk before and the chunk after the requested one when they exist.
  const std::int64_t w = m_WindowChunks;
  const std::int64_t a = std::max<std::int64_t>(index - 1, 0);
  const std::int64_t b = std::min<std::int64_t>(index + 2, m_ChunkCount);
  std::int64_t first = m_WindowFirst;
  if (a < m_WindowFirst)
    first = index - w + 2;
  else if (m_WindowFirst + w < b)
    first = index - 1;
  first = std::max<std::int64_t>(std::min<std::int64_t>(first, m_ChunkCount - w), 0);

  if (first != m_WindowFirst) {
    const std::int64_t shift = first - m_WindowFirst;
    m_WindowFirst = static_cast<std::int32_t>(first);
    m_Tags.Trim(first * m_Chunk, (first + w) * m_Chunk);
    if (shift <= -w || shift >= w) {
      Reload(0, w);
    } else if (shift < 0) {
      CopyFrames(WindowBlock(-shift), WindowBlock(0), (w + shift) * m_Chunk);
      Reload(0, -shift);
    } else {
      CopyFrames(WindowBlock(0), WindowBlock(shift), (w - shift) * m_Chunk);
      Reload(w - shift, shift);
    }
  }

  // Margins hold no frames of the source, so they carry no tags either.
  if (tags != nullptr && over == 0) m_Tags.HandOut(index * m_Chunk, m_Chunk, *tags);
  return WindowBlock(index + over - m_WindowFirst);
}

// Negative positions are split into chunks by floor division, so their frames come from the
// leading margin as silence instead of being skipped.
std::int64_t CSoundChunkyInputBuffer::Pull(const CDataBlock& block, std::int64_t count,
                                           std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  if (position == kUnspecifiedFrames) position = m_Cursor;
  if (m_SourceLength != kUnspecifiedFrames && m_SourceLength - position < count)
    count = m_SourceLength - position;
  count = std::max<std::int64_t>(count, 0);
  const std::int64_t end = position + count;
  constexpr std::int64_t kHighest = std::numeric_limits<std::int32_t>::max();
  for (std::int64_t c = FloorDiv(position, m_Chunk); c <= FloorDiv(end - 1, m_Chunk); ++c) {
    const std::int64_t chunkStart = c * m_Chunk;
    const std::int64_t from = std::max(position, chunkStart);
    const std::int64_t to = std::min(end, chunkStart + m_Chunk);
    if (c < 0) {
      FillSilence(block.Advanced(from - position), to - from);
      continue;
    }
    const CDataBlock chunk = GetChunk(static_cast<std::int32_t>(std::min(c, kHighest)), nullptr);
    CopyFrames(block.Advanced(from - position), chunk.Advanced(from - chunkStart), to - from);
    m_Tags.HandOut(from, to - from, tags);
  }
  m_Cursor = end;
  return count;
}

}  // namespace halvern
