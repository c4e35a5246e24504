// Filter length, block sizes and the windowed-sinc table of the rate converter.
#pragma once

#include <cstdint>
#include <vector>

namespace halvern {

// Input periods the filter spans on each side of its centre for a quality q: (int)(q x 120),
// at least 5 (q = 0.2 gives 24, q = 0.5 gives 60).
std::int32_t FilterSpan(double quality);

// Everything the converter derives from L, M and the span. Input is processed in blocks of
// `inputBlock` frames, each giving `outputBlock` frames; the kernel's input pointer for a block
// sits `InputLead()` frames before the block's first input frame.
struct CResamplerGeometry {
  std::int32_t upFactor;     // L
  std::int32_t downFactor;   // M
  std::int32_t span;         // z
  std::int32_t halfLength;   // N = L x z, in upsampled samples
  std::int32_t upTimesDown;  // L x M
  std::int32_t inputBlock;   // B: smallest multiple of L x M above z + 1
  std::int32_t outputBlock;  // (B / M) x L
  std::int32_t lead;         // H: smallest multiple of L above N, as (floor((N + 1) / L) + 1) x L

  std::int32_t InputLead() const { return lead / upFactor; }
};

// Throws -50 for factors that are not positive or sizes that do not fit in 32 bits.
CResamplerGeometry MakeResamplerGeometry(std::int32_t upFactor, std::int32_t downFactor,
                                         std::int32_t span);

// H for a half length N and up factor L (also for kernels whose N is not a multiple of L).
std::int64_t KernelLead(std::int64_t halfLength, std::int64_t upFactor);

// The 2N + 1 taps: a Blackman-windowed sinc with zero crossings every max(L, M) upsampled samples,
// centre exactly 1.0, not normalised (each polyphase branch sums to about 1 when L >= M and to
// about M / L when M > L). Built once per converter; never on the audio thread.
std::vector<double> MakeResamplerTable(std::int32_t upFactor, std::int32_t downFactor,
                                       std::int32_t halfLength);

}  // namespace halvern
