// The polyphase windowed-sinc kernel of the rate converter: one channel of one block at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvern {

// Input frames a block reads, counted from the kernel's input pointer: [first, end).
struct CKernelReach {
  std::int64_t first;
  std::int64_t end;
};

CKernelReach KernelReach(std::int32_t outputFrames, std::int32_t upFactor, std::int32_t downFactor,
                         std::int32_t halfLength);

// The reference kernel. `input` points H / L frames before the block's first input frame (H from
// KernelLead), `stride` is the channel count of the interleaved input and output. Output frame n
// is the sum, in double and in tap order, of the input frames under the taps of `table`
// (2 x halfLength + 1 entries) placed at input position n x M / L, clamped to [-1, 1]; 0 when no
// tap falls inside the table.
void ResampleChannelBlock(const float* input, std::int32_t stride, float* output,
                          std::int32_t outputFrames, std::int32_t upFactor, std::int32_t downFactor,
                          std::int32_t halfLength, const double* table);

// The same kernel prepared for one geometry and block length, computing several output frames at
// once, one per SIMD lane. Every lane adds its taps in the reference order, so the results are
// identical to the bit. Run allocates nothing; one object serves one thread at a time (it keeps
// a scratch buffer).
class CResamplerKernel {
 public:
  enum class EPath {
    kScalar,  // the reference kernel
    kVector,  // two double lanes (compiler vector extensions; SSE2 on x86-64)
    kAvx2,    // four double lanes, chosen at run time on x86-64 CPUs with AVX2
  };

  static bool IsAvailable(EPath path);
  static EPath FastestPath();

  // Copies what it needs from `table`. Throws -50 for an unavailable path or bad sizes.
  CResamplerKernel(std::int32_t upFactor, std::int32_t downFactor, std::int32_t halfLength,
                   const double* table, std::int32_t outputFrames, EPath path = FastestPath());

  // One channel of one block, as ResampleChannelBlock with this object's geometry: for block k,
  // `input` is the channel's sample of stream frame k x B - H / L; frames Reach() of it are read.
  void Run(const float* input, std::int32_t stride, float* output);

  EPath Path() const { return m_Path; }
  CKernelReach Reach() const { return m_Reach; }

  // The work of one block, planned at construction. Output frames r, r + L, r + 2L, ... share
  // their taps and advance by M input frames each; an item is W of them (one per lane), a chunk
  // up to a handful of items with the same tap count summed together.
  struct CItem {
    std::int64_t scratch;  // offset of the item's first scratch row, in doubles
    std::size_t row;       // offset of its taps in the row table
    std::int64_t output;   // output frame of lane 0; lane l is output + l x L
    std::int32_t lanes;    // lanes that fall inside the block
  };
  struct CChunk {
    std::int32_t taps;
    std::int32_t items;
    bool sharedRow;  // all items belong to one residue (one set of taps)
    std::size_t firstItem;
  };

 private:
  std::int32_t m_UpFactor;
  std::int32_t m_DownFactor;
  std::int32_t m_HalfLength;
  std::int32_t m_OutputFrames;
  EPath m_Path;
  CKernelReach m_Reach;
  std::vector<double> m_Table;
  std::vector<double> m_Rows;
  std::vector<CItem> m_Items;
  std::vector<CChunk> m_Chunks;
  std::int64_t m_ScratchFrames = 0;
  std::vector<double> m_Scratch;
};

}  // namespace halvern
