#include "graph/data_buffer.h"

#include <algorithm>

#include "graph/frames.h"

namespace halvern {

CDataBuffer::CDataBuffer(std::int32_t size, std::int64_t length, bool skipClear,
                         const CTagList* initialTags, std::int64_t lead, std::int64_t tail)
    : m_Storage(size, length + lead + tail), m_Lead(lead), m_Tail(tail) {
  SetDataTraits(size);
  if (initialTags != nullptr)
    for (const auto* entry = initialTags->Head(); entry != nullptr; entry = entry->next)
      m_Tags.Insert(*entry);
  if (!skipClear && m_Storage.block.data != nullptr)
    FillSilence(m_Storage.block, m_Storage.capacity);
}

std::int64_t CDataBuffer::GetLength() { return m_Storage.capacity - m_Tail - m_Lead; }

std::int64_t CDataBuffer::Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                               CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  const std::int64_t requested = count;
  if (position == kUnspecifiedFrames) position = m_Cursor;
  CDataBlock out = block;
  if (position < 0) {
    const std::int64_t k = std::max<std::int64_t>(0, std::min(-position, count));
    out = FillSilence(out, k);
    position += k;
    count -= k;
  }
  const std::int64_t n = std::min(count, GetLength() - position);
  if (n > 0) {
    CopyFrames(out, m_Storage.block.Advanced(position + m_Lead), n);
    m_Tags.HandOut(position, n, tags);
    position += n;
    count -= n;
  }
  m_Cursor = position;
  return requested - count;
}

void CDataBuffer::Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
                       CTagList& tags) {
  AssertConsistency(block.traits);
  if (position == kUnspecifiedFrames) position = m_Cursor;
  const std::int64_t length = GetLength();
  if (position < 0 || position >= length || count < 0) return;
  count = std::min(count, length - position);
  CopyFrames(m_Storage.block.Advanced(position + m_Lead), block, count);
  m_Tags.Store(position, count, tags);
  m_Cursor = position + count;
}

}  // namespace halvern
