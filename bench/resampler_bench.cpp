// The rate converter's kernel against libsoxr (HQ) and speexdsp (quality 5): stereo float, one
// render period (20 ms) per iteration, 44.1 kHz to 48 kHz and back. Our kernel runs block by block
// as the converter socket drives it, each block computed once and copied out as pulls cross it.
// After the run a summary gives each resampler's speed relative to soxr HQ (median over
// repetitions, CPU time per pull; above 1.0 is faster than soxr).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "samples/rate_ratio.h"
#include "samples/resampler_filter.h"
#include "samples/resampler_kernel.h"

#if HALVERN_HAVE_SOXR
#include <soxr.h>
#endif
#if HALVERN_HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

namespace {

using halvern::CResamplerKernel;

constexpr int kChannels = 2;
constexpr int kInputSeconds = 2;

std::vector<float> Noise(std::size_t samples) {
  std::mt19937 random(12345);
  std::uniform_real_distribution<float> amplitude(-0.5f, 0.5f);
  std::vector<float> data(samples);
  for (float& s : data) s = amplitude(random);
  return data;
}

// CPU time per pull of every repetition, by benchmark, for the summary.
struct CSummary {
  std::map<std::string, std::vector<double>> runs;

  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }

  ~CSummary() {
    if (runs.empty()) return;
    std::printf("\nSpeed relative to soxr HQ (median CPU time per 20 ms pull; >1.0 = faster):\n");
    for (const auto& [name, times] : runs) {
      const std::string direction = name.substr(0, name.find('/'));
      const auto soxr = runs.find(direction + "/soxr_hq");
      const double ours = Median(times);
      if (soxr == runs.end()) {
        std::printf("  %-36s %9.2f us\n", name.c_str(), ours * 1e6);
      } else {
        std::printf("  %-36s %9.2f us  x%.2f\n", name.c_str(), ours * 1e6,
                    Median(soxr->second) / ours);
      }
    }
  }
} g_Summary;

// Runs `pull` once per iteration and records the CPU time per pull.
template <class Pull>
void Measure(benchmark::State& state, const std::string& name, Pull&& pull) {
  const std::clock_t start = std::clock();
  for (auto _ : state) pull();
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  if (state.iterations() > 0)
    g_Summary.runs[name].push_back(seconds / static_cast<double>(state.iterations()));
}

// The converter's block loop without the socket: input chunks of B frames, output blocks computed
// whole, pulls copied out of the current block.
class CKernelStream {
 public:
  CKernelStream(int sourceRate, int targetRate, double quality, double bound,
                CResamplerKernel::EPath path)
      : m_Ratio(halvern::FindRateRatio(sourceRate, targetRate, bound)),
        m_Geometry(halvern::MakeResamplerGeometry(m_Ratio.upFactor, m_Ratio.downFactor,
                                                  halvern::FilterSpan(quality))),
        m_Table(halvern::MakeResamplerTable(m_Ratio.upFactor, m_Ratio.downFactor,
                                            m_Geometry.halfLength)),
        m_Kernel(m_Geometry.upFactor, m_Geometry.downFactor, m_Geometry.halfLength, m_Table.data(),
                 m_Geometry.outputBlock, path),
        m_Input(Noise(std::size_t{kChannels} *
                      std::max<std::size_t>(std::size_t(sourceRate) * kInputSeconds,
                                            4 * std::size_t(m_Geometry.inputBlock)))),
        m_Block(std::size_t{kChannels} * m_Geometry.outputBlock),
        m_Position(m_Geometry.outputBlock) {}

  void Pull(float* out, int frames) {
    while (frames > 0) {
      if (m_Position == m_Geometry.outputBlock) NextBlock();
      const int n = std::min(frames, m_Geometry.outputBlock - m_Position);
      std::memcpy(out, m_Block.data() + std::size_t{kChannels} * m_Position,
                  sizeof(float) * kChannels * n);
      out += std::ptrdiff_t{kChannels} * n;
      frames -= n;
      m_Position += n;
    }
  }

  std::string Name() const {
    static const char* const kPaths[] = {"scalar", "vector", "avx2"};
    char name[64];
    std::snprintf(name, sizeof name, "L%d/M%d/z%d/%s", m_Geometry.upFactor, m_Geometry.downFactor,
                  m_Geometry.span, kPaths[int(m_Kernel.Path())]);
    return name;
  }

 private:
  void NextBlock() {
    const std::size_t frames = m_Input.size() / kChannels;
    if (std::size_t(m_BlockIndex + 3) * m_Geometry.inputBlock > frames) m_BlockIndex = 0;
    ++m_BlockIndex;
    const float* in =
        m_Input.data() +
        std::size_t{kChannels} * (m_BlockIndex * m_Geometry.inputBlock - m_Geometry.InputLead());
    for (int c = 0; c < kChannels; ++c) m_Kernel.Run(in + c, kChannels, m_Block.data() + c);
    m_Position = 0;
  }

  halvern::CRateRatio m_Ratio;
  halvern::CResamplerGeometry m_Geometry;
  std::vector<double> m_Table;
  CResamplerKernel m_Kernel;
  std::vector<float> m_Input;
  std::vector<float> m_Block;
  int m_Position;
  std::int64_t m_BlockIndex = 0;
};

std::string Direction(int sourceRate, int targetRate) {
  return std::to_string(sourceRate / 100) + "to" + std::to_string(targetRate / 100);
}

void BM_Kernel(benchmark::State& state, int sourceRate, int targetRate, double quality,
               double bound, CResamplerKernel::EPath path) {
  CKernelStream stream(sourceRate, targetRate, quality, bound, path);
  const int frames = targetRate / 50;
  std::vector<float> out(std::size_t{kChannels} * frames);
  Measure(state, Direction(sourceRate, targetRate) + "/ours_" + stream.Name(), [&] {
    stream.Pull(out.data(), frames);
    benchmark::DoNotOptimize(out.data());
  });
  state.SetItemsProcessed(state.iterations() * frames);
}

#if HALVERN_HAVE_SOXR
void BM_Soxr(benchmark::State& state, int sourceRate, int targetRate) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_t soxr = soxr_create(sourceRate, targetRate, kChannels, &error, &io, &quality, nullptr);
  if (error) {
    state.SkipWithError(error);
    return;
  }
  const int inFrames = sourceRate / 50;
  const int outFrames = targetRate / 50;
  const std::vector<float> in = Noise(std::size_t{kChannels} * inFrames);
  std::vector<float> out(std::size_t{kChannels} * 2 * outFrames);
  Measure(state, Direction(sourceRate, targetRate) + "/soxr_hq", [&] {
    size_t used = 0;
    size_t made = 0;
    soxr_process(soxr, in.data(), inFrames, &used, out.data(), 2 * std::size_t(outFrames), &made);
    benchmark::DoNotOptimize(out.data());
  });
  soxr_delete(soxr);
  state.SetItemsProcessed(state.iterations() * outFrames);
}
#endif

#if HALVERN_HAVE_SPEEXDSP
void BM_Speex(benchmark::State& state, int sourceRate, int targetRate) {
  int error = 0;
  SpeexResamplerState* speex = speex_resampler_init(kChannels, sourceRate, targetRate, 5, &error);
  if (!speex) {
    state.SkipWithError("speex_resampler_init failed");
    return;
  }
  const int inFrames = sourceRate / 50;
  const int outFrames = targetRate / 50;
  const std::vector<float> in = Noise(std::size_t{kChannels} * inFrames);
  std::vector<float> out(std::size_t{kChannels} * 2 * outFrames);
  Measure(state, Direction(sourceRate, targetRate) + "/speex_q5", [&] {
    spx_uint32_t used = inFrames;
    spx_uint32_t made = 2 * outFrames;
    speex_resampler_process_interleaved_float(speex, in.data(), &used, out.data(), &made);
    benchmark::DoNotOptimize(out.data());
  });
  speex_resampler_destroy(speex);
  state.SetItemsProcessed(state.iterations() * outFrames);
}
#endif

void RegisterDirection(int sourceRate, int targetRate) {
  const std::string prefix = "Resampler/" + Direction(sourceRate, targetRate) + "/";
#if HALVERN_HAVE_SOXR
  benchmark::RegisterBenchmark((prefix + "soxr_hq").c_str(), BM_Soxr, sourceRate, targetRate);
#endif
#if HALVERN_HAVE_SPEEXDSP
  benchmark::RegisterBenchmark((prefix + "speex_q5").c_str(), BM_Speex, sourceRate, targetRate);
#endif
  // The render endpoint's converter (bound 1000: 25/23 or 23/25), the exact 160/147 pair of the
  // pumps (bound 200000), both at quality 0.2 (z 24) and 0.5 (z 60), on the fastest path; the
  // render endpoint's case also on the portable paths (the vector path is what Windows builds
  // run).
  using EPath = CResamplerKernel::EPath;
  const EPath fastest = CResamplerKernel::FastestPath();
  for (double bound : {1000.0, 200000.0}) {
    for (double quality : {0.2, 0.5}) {
      for (EPath path : {EPath::kAvx2, EPath::kVector, EPath::kScalar}) {
        if (!CResamplerKernel::IsAvailable(path)) continue;
        if (path != fastest && (bound > 2000 || quality > 0.3)) continue;
        static const char* const kPaths[] = {"scalar", "vector", "avx2"};
        const std::string name = prefix + "ours_" + (bound < 2000 ? "near" : "exact") + "_z" +
                                 std::to_string(halvern::FilterSpan(quality)) + "_" +
                                 kPaths[int(path)];
        benchmark::RegisterBenchmark(name.c_str(), BM_Kernel, sourceRate, targetRate, quality,
                                     bound, path);
      }
    }
  }
}

const bool g_Registered = [] {
  RegisterDirection(44100, 48000);
  RegisterDirection(48000, 44100);
  return true;
}();

}  // namespace
