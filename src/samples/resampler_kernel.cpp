#include "samples/resampler_kernel.h"

#include <algorithm>
#include <cstring>

#include "samples/resampler_filter.h"

// The lane paths use the GCC/Clang vector extensions; other compilers keep the reference kernel.
// 32-byte vectors stay off on Windows: mingw GCC cannot align 32-byte stack spills.
#if defined(__GNUC__)
#define HALVERN_KERNEL_LANES 1
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define HALVERN_KERNEL_AVX2 1
#endif
#endif

namespace halvern {
namespace {

constexpr int kBadArgument = -50;

float ClampToFloat(double sum) {
  if (sum >= 1.0) return 1.0f;
  if (sum < -1.0) return -1.0f;
  return static_cast<float>(sum);
}

// Position of output frame n on the upsampled time line, and the first input frame and first tap
// index under it.
struct CTapStart {
  std::int64_t frame;
  std::int64_t index;
};

CTapStart TapStart(std::int64_t n, std::int64_t up, std::int64_t down, std::int64_t halfLength) {
  const std::int64_t t = KernelLead(halfLength, up) - halfLength + down * n;  // t >= 1
  const std::int64_t frame = (t - 1) / up + 1;
  return {frame, frame * up - t};
}

std::int64_t TapCount(std::int64_t index, std::int64_t up, std::int64_t halfLength) {
  return index <= 2 * halfLength ? (2 * halfLength - index) / up + 1 : 0;
}

#if HALVERN_KERNEL_LANES

template <int W>
struct TLanes;
template <>
struct TLanes<2> {
  typedef double V __attribute__((vector_size(16)));
};
template <>
struct TLanes<4> {
  typedef double V __attribute__((vector_size(32)));
};

// Lanes per scratch row and groups of lanes summed together, so that enough independent sums are
// in flight to hide the latency of the additions.
template <int W>
constexpr int kGroupsInFlight = W == 4 ? 4 : 6;

struct CLaneJob {
  const float* input;
  std::int32_t stride;
  float* output;
  std::int32_t up;
  std::int32_t down;
  CKernelReach reach;
  const CResamplerKernel::CResidue* residues;
  std::size_t residueCount;
  const double* rows;
  double* scratch;
  std::int64_t scratchFrames;
};

// Row q of the scratch holds input frames q, q + M, ..., q + (W - 1) M (from the reach's first
// frame) as doubles, so that lane l of a row-aligned load sees the frame of the l-th output of a
// residue group. Frames past the reach read as 0; only lanes beyond the block use them.
template <int W>
[[gnu::always_inline]] inline void FillScratch(const CLaneJob& job) {
  const std::int64_t span = job.reach.end - job.reach.first;
  const float* base = job.input + job.reach.first * job.stride;
  double* row = job.scratch;
  for (std::int64_t q = 0; q < job.scratchFrames; ++q, row += W) {
    for (int l = 0; l < W; ++l) {
      const std::int64_t frame = q + std::int64_t{l} * job.down;
      row[l] = frame < span ? static_cast<double>(base[frame * job.stride]) : 0.0;
    }
  }
}

// Sums C groups of W lanes of one residue: group j, lane l is output g + j W + l of the residue.
template <int W, int C>
[[gnu::always_inline]] inline void SumGroups(const CLaneJob& job,
                                             const CResamplerKernel::CResidue& residue,
                                             std::int64_t residueIndex, std::int64_t g) {
  using V = typename TLanes<W>::V;
  const std::int64_t groupStride = std::int64_t{W} * job.down * W;
  const double* x = job.scratch + (residue.firstFrame + g * job.down) * W;
  const double* taps = job.rows + residue.row;
  V sums[C];
  for (int j = 0; j < C; ++j) sums[j] = V{};
  for (std::int32_t k = 0; k < residue.taps; ++k, x += W) {
    const double h = taps[k];
    for (int j = 0; j < C; ++j) {
      V v;
      std::memcpy(&v, x + j * groupStride, sizeof v);
      sums[j] = sums[j] + v * h;
    }
  }
  double lanes[C * W];
  std::memcpy(lanes, sums, sizeof lanes);
  const std::int64_t count = std::min<std::int64_t>(C * W, residue.outputs - g);
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t n = residueIndex + (g + i) * job.up;
    job.output[n * job.stride] = ClampToFloat(lanes[i]);
  }
}

// The groups left after the full sets, C or fewer (the last may be partly beyond the block).
template <int W, int C>
[[gnu::always_inline]] inline void SumRemainder(const CLaneJob& job,
                                                const CResamplerKernel::CResidue& residue,
                                                std::int64_t residueIndex, std::int64_t g,
                                                std::int64_t groups) {
  if (groups == C) {
    SumGroups<W, C>(job, residue, residueIndex, g);
  } else if constexpr (C > 1) {
    SumRemainder<W, C - 1>(job, residue, residueIndex, g, groups);
  }
}

template <int W>
[[gnu::always_inline]] inline void RunLanes(const CLaneJob& job) {
  constexpr int G = kGroupsInFlight<W>;
  FillScratch<W>(job);
  for (std::size_t r = 0; r < job.residueCount; ++r) {
    const CResamplerKernel::CResidue& residue = job.residues[r];
    const std::int64_t r64 = static_cast<std::int64_t>(r);
    if (residue.taps == 0) {
      for (std::int64_t i = 0; i < residue.outputs; ++i) {
        job.output[(r64 + i * job.up) * job.stride] = 0.0f;
      }
      continue;
    }
    std::int64_t g = 0;  // output index within the residue, a multiple of W
    for (; g + G * W <= residue.outputs; g += G * W) SumGroups<W, G>(job, residue, r64, g);
    SumRemainder<W, G>(job, residue, r64, g, (residue.outputs - g + W - 1) / W);
  }
}

void RunVector(const CLaneJob& job) { RunLanes<2>(job); }

#if HALVERN_KERNEL_AVX2
__attribute__((target("avx2"))) void RunAvx2(const CLaneJob& job) { RunLanes<4>(job); }
#endif

#endif  // HALVERN_KERNEL_LANES

int LanesOf(CResamplerKernel::EPath path) {
  switch (path) {
    case CResamplerKernel::EPath::kVector:
      return 2;
    case CResamplerKernel::EPath::kAvx2:
      return 4;
    default:
      return 1;
  }
}

}  // namespace

CKernelReach KernelReach(std::int32_t outputFrames, std::int32_t upFactor, std::int32_t downFactor,
                         std::int32_t halfLength) {
  // Frames only grow with n, and output n + L reads the frames of output n moved by M: the first
  // frame is found among the first L outputs and the last among the last L.
  CKernelReach reach{0, 0};
  for (std::int64_t n = 0; n < std::min(outputFrames, upFactor); ++n) {
    const CTapStart s = TapStart(n, upFactor, downFactor, halfLength);
    if (TapCount(s.index, upFactor, halfLength) > 0) {
      reach.first = s.frame;
      break;
    }
  }
  for (std::int64_t n = std::max(0, outputFrames - upFactor); n < outputFrames; ++n) {
    const CTapStart s = TapStart(n, upFactor, downFactor, halfLength);
    const std::int64_t taps = TapCount(s.index, upFactor, halfLength);
    if (taps > 0) reach.end = std::max(reach.end, s.frame + taps);
  }
  if (reach.end == 0) reach.first = 0;
  return reach;
}

void ResampleChannelBlock(const float* input, std::int32_t stride, float* output,
                          std::int32_t outputFrames, std::int32_t upFactor, std::int32_t downFactor,
                          std::int32_t halfLength, const double* table) {
  const std::int64_t tableSize = 2 * std::int64_t{halfLength} + 1;
  for (std::int64_t n = 0; n < outputFrames; ++n) {
    const CTapStart s = TapStart(n, upFactor, downFactor, halfLength);
    const float* x = input + s.frame * stride;
    double sum = 0.0;
    bool anyTap = false;
    for (std::int64_t index = s.index; index < tableSize; index += upFactor, x += stride) {
      sum += static_cast<double>(*x) * table[index];
      anyTap = true;
    }
    output[n * stride] = anyTap ? ClampToFloat(sum) : 0.0f;
  }
}

bool CResamplerKernel::IsAvailable(EPath path) {
  switch (path) {
    case EPath::kScalar:
      return true;
#if HALVERN_KERNEL_LANES
    case EPath::kVector:
      return true;
#endif
#if HALVERN_KERNEL_AVX2
    case EPath::kAvx2:
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

CResamplerKernel::EPath CResamplerKernel::FastestPath() {
  for (EPath path : {EPath::kAvx2, EPath::kVector}) {
    if (IsAvailable(path)) return path;
  }
  return EPath::kScalar;
}

CResamplerKernel::CResamplerKernel(std::int32_t upFactor, std::int32_t downFactor,
                                   std::int32_t halfLength, const double* table,
                                   std::int32_t outputFrames, EPath path)
    : m_UpFactor(upFactor),
      m_DownFactor(downFactor),
      m_HalfLength(halfLength),
      m_OutputFrames(outputFrames),
      m_Path(path),
      m_Reach{0, 0} {
  if (upFactor <= 0 || downFactor <= 0 || halfLength <= 0 || outputFrames < 0 || !table ||
      !IsAvailable(path)) {
    throw kBadArgument;
  }
  const std::int64_t tableSize = 2 * std::int64_t{halfLength} + 1;
  m_Table.assign(table, table + tableSize);
  m_Reach = KernelReach(outputFrames, upFactor, downFactor, halfLength);
  if (path == EPath::kScalar) return;

  const std::int64_t lanes = LanesOf(path);
  const std::int64_t residues = std::min<std::int64_t>(upFactor, outputFrames);
  for (std::int64_t r = 0; r < residues; ++r) {
    const CTapStart s = TapStart(r, upFactor, downFactor, halfLength);
    const std::int64_t taps = TapCount(s.index, upFactor, halfLength);
    const std::int64_t outputs = (outputFrames - r + upFactor - 1) / upFactor;
    // A residue without taps still has outputs (they are 0); give it a start inside the scratch.
    const std::int64_t first = taps > 0 ? s.frame - m_Reach.first : 0;
    m_Residues.push_back({first, static_cast<std::int32_t>(taps),
                          static_cast<std::int32_t>(outputs), m_Rows.size()});
    for (std::int64_t k = 0; k < taps; ++k) m_Rows.push_back(m_Table[s.index + k * upFactor]);
    const std::int64_t groups = (outputs + lanes - 1) / lanes;
    if (taps > 0 && groups > 0) {
      const std::int64_t lastRow = first + (groups - 1) * lanes * downFactor + taps;
      m_ScratchFrames = std::max(m_ScratchFrames, lastRow);
    }
  }
  m_Scratch.assign(static_cast<std::size_t>(m_ScratchFrames * lanes), 0.0);
}

void CResamplerKernel::Run(const float* input, std::int32_t stride, float* output) {
  switch (m_Path) {
#if HALVERN_KERNEL_LANES
    case EPath::kVector:
    case EPath::kAvx2: {
      const CLaneJob job{input,
                         stride,
                         output,
                         m_UpFactor,
                         m_DownFactor,
                         m_Reach,
                         m_Residues.data(),
                         m_Residues.size(),
                         m_Rows.data(),
                         m_Scratch.data(),
                         m_ScratchFrames};
#if HALVERN_KERNEL_AVX2
      if (m_Path == EPath::kAvx2) {
        RunAvx2(job);
        return;
      }
#endif
      RunVector(job);
      return;
    }
#endif
    default:
      ResampleChannelBlock(input, stride, output, m_OutputFrames, m_UpFactor, m_DownFactor,
                           m_HalfLength, m_Table.data());
      return;
  }
}

}  // namespace halvern
