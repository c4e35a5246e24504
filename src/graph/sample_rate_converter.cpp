#include "graph/sample_rate_converter.h"

#include <algorithm>
#include <limits>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "graph/sound_converter_input_socket.h"
#include "samples/sample_format.h"

namespace halvern {

namespace {

constexpr std::int64_t kNoBlock = std::numeric_limits<std::int64_t>::min();

std::int32_t ChunksForBudget(std::uint32_t budget, std::int32_t channels, std::int64_t inputBlock,
                             std::int64_t length) {
  std::int64_t chunks = (budget / (static_cast<std::uint32_t>(channels) * 4u)) / inputBlock;
  chunks = std::min<std::int64_t>(std::max<std::int64_t>(chunks, 3), 1 << 20);
  if (length != kUnspecifiedFrames)
    while ((chunks - 1) * inputBlock > length && chunks > 1) --chunks;
  return static_cast<std::int32_t>(chunks);
}

void AppendRange(const CTagList& from, std::int64_t first, std::int64_t end, CTagList& to) {
  for (const auto* entry = from.Head(); entry != nullptr; entry = entry->next)
    if (entry->position >= first && entry->position < end) to.Insert(*entry);
}

}  // namespace

CSampleRateConverter::CSampleRateConverter(const TCountedRef<CSoundPullSocket>& source,
                                           std::int32_t targetRate, CQuality quality,
                                           CCacheBudget budget, CRatioBound bound)
    : CSoundPullSocket(CSoundTraits(kFormatFloat, source->channels, targetRate)),
      m_Ratio(FindRateRatio(source->sampleRate, targetRate, bound.value)),
      m_Geometry(
          MakeResamplerGeometry(m_Ratio.upFactor, m_Ratio.downFactor, FilterSpan(quality.value))),
      m_CacheChunks(0),
      m_LastBlock(frameSize, m_Geometry.outputBlock),
      m_LastBlockIndex(kNoBlock) {
  if (channels <= 0) throw kErrBadArgument;
  TCountedRef<CSoundPullSocket> floats(
      new CSoundConverterInputSocket(source, kFormatFloat, nullptr, kInputConverterChunk));
  m_CacheChunks =
      ChunksForBudget(budget.value, channels, m_Geometry.inputBlock, floats->GetLength());
  // Filled on first use: a live source must not be read while the chain is being built.
  m_Cache = new CSoundChunkyInputBuffer(floats, m_CacheChunks, m_Geometry.inputBlock, false);
  m_Table = MakeResamplerTable(m_Ratio.upFactor, m_Ratio.downFactor, m_Geometry.halfLength);
  m_Kernel = std::make_unique<CResamplerKernel>(m_Ratio.upFactor, m_Ratio.downFactor,
                                                m_Geometry.halfLength, m_Table.data(),
                                                m_Geometry.outputBlock);
  // The kernel may read one chunk before and one after its own, no further.
  const CKernelReach reach = m_Kernel->Reach();
  const std::int64_t lead = m_Geometry.InputLead();
  if (reach.first - lead < -m_Geometry.inputBlock ||
      reach.end - lead > 2 * std::int64_t{m_Geometry.inputBlock})
    throw kErrBadArgument;
}

// Scaled by the rates the ratio was built for, so the length matches the frames that the
// ratio L / M really produces.
std::int64_t CSampleRateConverter::GetLength() {
  const std::int64_t length = m_Cache->GetLength();
  if (length == kUnspecifiedFrames) return kUnspecifiedFrames;
  return std::int64_t{m_Ratio.targetRate} * length / m_Ratio.sourceRate + 1;
}

void CSampleRateConverter::ComputeBlock(std::int64_t index, float* output, CTagList& tags) {
  const auto chunk = static_cast<std::int32_t>(std::clamp<std::int64_t>(
      index, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
  const CDataBlock input = m_Cache->GetChunk(chunk, &m_InputTags);
  const float* first =
      reinterpret_cast<const float*>(input.data) - m_Geometry.InputLead() * std::int64_t{channels};
  for (std::int32_t c = 0; c < channels; ++c) m_Kernel->Run(first + c, channels, output + c);
  ++m_ComputedBlocks;
  tags.Clear();
  const double scale = static_cast<double>(m_Ratio.upFactor) / m_Ratio.downFactor;
  for (const auto* entry = m_InputTags.Head(); entry != nullptr; entry = entry->next) {
    CTagList::Entry moved = *entry;
    moved.position = static_cast<std::int64_t>(static_cast<double>(entry->position) * scale);
    tags.Insert(moved);
  }
}

std::int64_t CSampleRateConverter::Pull(const CDataBlock& block, std::int64_t count,
                                        std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  if (position == kUnspecifiedFrames)
    position = m_Position;
  else
    m_Position = position;
  if (!(static_cast<double>(m_Ratio.upFactor) / m_Ratio.downFactor > 0.0)) throw kErrBadArgument;
  const std::int64_t length = GetLength();
  if (length != kUnspecifiedFrames)
    count = std::min(count, std::max<std::int64_t>(length - position, 0));
  if (count <= 0) return 0;

  const std::int64_t blockFrames = m_Geometry.outputBlock;
  const std::int64_t end = position + count;
  for (std::int64_t k = FloorDiv(position, blockFrames); k * blockFrames < end; ++k) {
    const std::int64_t blockStart = k * blockFrames;
    const std::int64_t from = std::max(position, blockStart);
    const std::int64_t to = std::min(end, blockStart + blockFrames);
    const CDataBlock destination = block.Advanced(from - position);
    if (to - from == blockFrames) {
      ComputeBlock(k, reinterpret_cast<float*>(destination.data), m_BlockTags);
      AppendRange(m_BlockTags, from, to, tags);
      continue;
    }
    if (m_LastBlockIndex != k) {
      m_LastBlockIndex = kNoBlock;
      ComputeBlock(k, reinterpret_cast<float*>(m_LastBlock.block.data), m_LastBlockTags);
      m_LastBlockIndex = k;
    }
    CopyFrames(destination, m_LastBlock.block.Advanced(from - blockStart), to - from);
    AppendRange(m_LastBlockTags, from, to, tags);
  }
  m_Position = end;
  return count;
}

}  // namespace halvern
