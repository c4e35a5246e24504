#include "samples/resampler_kernel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/error_codes.h"
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

// Items summed together: six independent sums keep two adders with a latency of three cycles
// busy, as current x86 cores have them.
constexpr int kItemsPerChunk = 6;

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
  typedef float F __attribute__((vector_size(16)));
};

struct CLaneJob {
  const float* input;
  std::int32_t stride;
  float* output;
  std::int32_t up;
  std::int32_t down;
  CKernelReach reach;
  const CResamplerKernel::CItem* items;
  const CResamplerKernel::CChunk* chunks;
  std::size_t chunkCount;
  const double* rows;
  double* scratch;
  std::int64_t scratchFrames;
};

// Row q of the scratch holds input frames q, q + M, ..., q + (W - 1) M (from the reach's first
// frame) as doubles, so that lane l of a row-aligned load sees the frame of the l-th output of an
// item. Frames past the reach read as 0; only lanes beyond the block use them.
template <int W>
[[gnu::always_inline]] inline void FillScratch(const CLaneJob& job) {
  using V = typename TLanes<W>::V;
  const std::int64_t span = job.reach.end - job.reach.first;
  const std::int64_t stride = job.stride;
  const std::int64_t laneStep = std::int64_t{job.down} * stride;
  const float* base = job.input + job.reach.first * stride;
  double* row = job.scratch;
  // Rows whose every lane lies inside the reach.
  const std::int64_t whole =
      std::clamp<std::int64_t>(span - std::int64_t{W - 1} * job.down, 0, job.scratchFrames);
  // The first M rows from the input; every later row is the row M before it moved down one
  // lane, with one new frame in the last lane.
  const std::int64_t direct = std::min<std::int64_t>(whole, job.down);
  const float* x = base;
  for (std::int64_t q = 0; q < direct; ++q, row += W, x += stride) {
    V v;
    if constexpr (W == 4) {
      const typename TLanes<W>::F f = {x[0], x[laneStep], x[2 * laneStep], x[3 * laneStep]};
      v = __builtin_convertvector(f, V);
    } else {
      v = V{static_cast<double>(x[0]), static_cast<double>(x[laneStep])};
    }
    std::memcpy(row, &v, sizeof v);
  }
  const std::int64_t back = std::int64_t{job.down} * W;
  const std::int64_t lastLane = std::int64_t{W - 1} * job.down;
  for (std::int64_t q = direct; q < whole; ++q, row += W) {
    V v;
    std::memcpy(&v, row - back, sizeof v);
    V fresh{};
    fresh[W - 1] = static_cast<double>(base[(q + lastLane) * stride]);
    if constexpr (W == 4) {
      v = __builtin_shufflevector(v, fresh, 1, 2, 3, 7);
    } else {
      v = __builtin_shufflevector(v, fresh, 1, 3);
    }
    std::memcpy(row, &v, sizeof v);
  }
  for (std::int64_t q = whole; q < job.scratchFrames; ++q, row += W) {
    for (int l = 0; l < W; ++l) {
      const std::int64_t frame = q + std::int64_t{l} * job.down;
      row[l] = frame < span ? static_cast<double>(base[frame * stride]) : 0.0;
    }
  }
}

// Sums the C items of a chunk, each lane in tap order with a separate multiply and add (the build
// forbids fusing them), exactly as the reference does. Items of one residue share their taps and
// lie a fixed number of rows apart, which saves a load per item and tap.
template <int W, int C, bool kSharedRow>
[[gnu::always_inline]] inline void SumChunk(const CLaneJob& job,
                                            const CResamplerKernel::CChunk& chunk) {
  using V = typename TLanes<W>::V;
  const CResamplerKernel::CItem* items = job.items + chunk.firstItem;
  V sums[C];
  for (int j = 0; j < C; ++j) sums[j] = V{};
  if constexpr (kSharedRow) {
    const std::int64_t itemStride = std::int64_t{W} * job.down * W;
    const double* x = job.scratch + items[0].scratch;
    const double* taps = job.rows + items[0].row;
    for (std::int32_t k = 0; k < chunk.taps; ++k, x += W) {
      const double h = taps[k];
      for (int j = 0; j < C; ++j) {
        V v;
        std::memcpy(&v, x + j * itemStride, sizeof v);
        sums[j] = sums[j] + v * h;
      }
    }
  } else {
    const double* x[C];
    const double* taps[C];
    for (int j = 0; j < C; ++j) {
      x[j] = job.scratch + items[j].scratch;
      taps[j] = job.rows + items[j].row;
    }
    for (std::int32_t k = 0; k < chunk.taps; ++k) {
      for (int j = 0; j < C; ++j) {
        V v;
        std::memcpy(&v, x[j] + k * W, sizeof v);
        sums[j] = sums[j] + v * taps[j][k];
      }
    }
  }
  const V one = V{} + 1.0;
  for (int j = 0; j < C; ++j) {
    V v = sums[j];
    v = v >= one ? one : v;
    v = v < -one ? -one : v;
    double lanes[W];
    std::memcpy(lanes, &v, sizeof v);
    float* out = job.output + items[j].output * job.stride;
    const std::int64_t step = std::int64_t{job.up} * job.stride;
    for (int l = 0; l < items[j].lanes; ++l) out[l * step] = static_cast<float>(lanes[l]);
  }
}

template <int W, int C>
[[gnu::always_inline]] inline void SumChunkOf(const CLaneJob& job,
                                              const CResamplerKernel::CChunk& chunk) {
  if (chunk.items == C) {
    if (chunk.sharedRow) {
      SumChunk<W, C, true>(job, chunk);
    } else {
      SumChunk<W, C, false>(job, chunk);
    }
  } else if constexpr (C > 1) {
    SumChunkOf<W, C - 1>(job, chunk);
  }
}

template <int W>
[[gnu::always_inline]] inline void RunLanes(const CLaneJob& job) {
  FillScratch<W>(job);
  for (std::size_t c = 0; c < job.chunkCount; ++c) {
    SumChunkOf<W, kItemsPerChunk>(job, job.chunks[c]);
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
#if HALVERN_KERNEL_LANES
    case EPath::kVector:
#endif
    case EPath::kScalar:
      return true;
#if HALVERN_KERNEL_AVX2
    case EPath::kAvx2:
      __builtin_cpu_init();  // may run before the constructor that would initialise it
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
    throw kErrBadArgument;
  }
  const std::int64_t tableSize = 2 * std::int64_t{halfLength} + 1;
  m_Table.assign(table, table + tableSize);
  m_Reach = KernelReach(outputFrames, upFactor, downFactor, halfLength);
  if (path == EPath::kScalar) return;

  const std::int64_t lanes = LanesOf(path);
  const std::int64_t perChunk = kItemsPerChunk;
  std::vector<std::pair<std::int32_t, CItem>> leftovers;
  const std::int64_t residues = std::min<std::int64_t>(upFactor, outputFrames);
  for (std::int64_t r = 0; r < residues; ++r) {
    const CTapStart s = TapStart(r, upFactor, downFactor, halfLength);
    const auto taps = static_cast<std::int32_t>(TapCount(s.index, upFactor, halfLength));
    const std::int64_t outputs = (outputFrames - r + upFactor - 1) / upFactor;
    const std::int64_t groups = (outputs + lanes - 1) / lanes;
    const std::int64_t first = taps > 0 ? s.frame - m_Reach.first : 0;
    const std::size_t row = m_Rows.size();
    for (std::int64_t k = 0; k < taps; ++k) m_Rows.push_back(m_Table[s.index + k * upFactor]);
    if (taps > 0 && groups > 0) {
      m_ScratchFrames = std::max(m_ScratchFrames, first + (groups - 1) * lanes * downFactor + taps);
    }
    for (std::int64_t g = 0; g < groups; ++g) {
      // Outputs without taps are 0 and read nothing; their items stay at the scratch's start.
      const CItem item{taps > 0 ? (first + g * lanes * downFactor) * lanes : 0, row,
                       r + g * lanes * upFactor,
                       static_cast<std::int32_t>(std::min(lanes, outputs - g * lanes))};
      if (g < groups / perChunk * perChunk) {
        if (g % perChunk == 0) {
          m_Chunks.push_back({taps, static_cast<std::int32_t>(perChunk), true, m_Items.size()});
        }
        m_Items.push_back(item);
      } else {
        leftovers.emplace_back(taps, item);
      }
    }
  }
  // Chunks in the order of the rows they read: all residues at one place in the block before the
  // next place, so that large blocks are summed from a cache-sized window of the scratch.
  std::stable_sort(m_Chunks.begin(), m_Chunks.end(), [this](const CChunk& a, const CChunk& b) {
    return m_Items[a.firstItem].scratch < m_Items[b.firstItem].scratch;
  });
  // The residues' last items, gathered into chunks of equal tap counts.
  std::stable_sort(leftovers.begin(), leftovers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < leftovers.size(); ++i) {
    const std::int32_t taps = leftovers[i].first;
    if (m_Chunks.empty() || m_Chunks.back().sharedRow || m_Chunks.back().taps != taps ||
        m_Chunks.back().items == perChunk) {
      m_Chunks.push_back({taps, 0, false, m_Items.size()});
    }
    ++m_Chunks.back().items;
    m_Items.push_back(leftovers[i].second);
  }
  m_Scratch.assign(static_cast<std::size_t>(m_ScratchFrames * lanes), 0.0);
}

void CResamplerKernel::Run(const float* input, std::int32_t stride, float* output) {
  switch (m_Path) {
#if HALVERN_KERNEL_LANES
    case EPath::kVector:
    case EPath::kAvx2: {
      const CLaneJob job{input,           stride,        output,           m_UpFactor,
                         m_DownFactor,    m_Reach,       m_Items.data(),   m_Chunks.data(),
                         m_Chunks.size(), m_Rows.data(), m_Scratch.data(), m_ScratchFrames};
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
