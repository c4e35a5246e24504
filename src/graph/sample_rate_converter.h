// Delivers a source at another sample rate: the source becomes float, is read in blocks through
// a chunky buffer, and every channel of every block goes through the windowed-sinc polyphase
// kernel. Output frame n is the source interpolated at n x M / L; the converter adds no delay.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "graph/chain_settings.h"
#include "graph/data_storage.h"
#include "graph/sound_chunky_input_buffer.h"
#include "graph/sound_pull_socket.h"
#include "graph/tag_list.h"
#include "samples/rate_ratio.h"
#include "samples/resampler_filter.h"
#include "samples/resampler_kernel.h"

namespace halvern {

class CSampleRateConverter : public CSoundPullSocket {
 public:
  // The float converter ahead of the block cache reads at most this many frames at a time.
  static constexpr std::int64_t kInputConverterChunk = 16384;
  // The block cache never holds fewer chunks: the kernel reads the chunk before and after.
  static constexpr std::int32_t kMinimumCacheChunks = 3;

  // Throws kErrNoRateRatio when no usable ratio exists.
  CSampleRateConverter(const TCountedRef<CSoundPullSocket>& source, std::int32_t targetRate,
                       CQuality quality, CCacheBudget budget, CRatioBound bound);

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

  const CRateRatio& Ratio() const { return m_Ratio; }
  const CResamplerGeometry& Geometry() const { return m_Geometry; }
  const std::vector<double>& Table() const { return m_Table; }
  std::int32_t CacheChunks() const { return m_CacheChunks; }
  // Output blocks run through the kernel so far (each for every channel).
  std::int64_t ComputedBlocks() const { return m_ComputedBlocks; }

 private:
  // Runs the kernel over block `index` for every channel into `output` (interleaved, a whole
  // block) and puts the block's tags, moved onto the output timeline, into `tags`.
  void ComputeBlock(std::int64_t index, float* output, CTagList& tags);

  CRateRatio m_Ratio;
  CResamplerGeometry m_Geometry;
  std::int32_t m_CacheChunks;
  TCountedRef<CSoundChunkyInputBuffer> m_Cache;
  std::vector<double> m_Table;
  std::unique_ptr<CResamplerKernel> m_Kernel;
  std::int64_t m_Position = 0;
  // The last block a pull needed only part of, so that the next pull continues in it without
  // running the kernel again.
  CDataStorage m_LastBlock;
  std::int64_t m_LastBlockIndex;
  CTagList m_LastBlockTags;
  CTagList m_BlockTags;
  CTagList m_InputTags;
  std::int64_t m_ComputedBlocks = 0;
};

}  // namespace halvern
