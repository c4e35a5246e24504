// Per-pull cost of the rate converter socket as a render thread sees it: stereo 16-bit input,
// 960-frame pulls (20 ms at 48 kHz) continued one after another. Each pull is timed on its own;
// the counters give the median, the 99th percentile and the worst pull in microseconds, and
// the mean kernel blocks per pull. Output blocks are computed once and copied out as pulls
// cross them, so most pulls only copy and the pull that enters a new block pays for all of it:
// with L/M = 160/147 (25600-frame blocks) that is one pull in about 27.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "graph/frames.h"
#include "graph/sample_rate_converter.h"
#include "samples/sample_format.h"

namespace {

using namespace halvern;

constexpr int kChannels = 2;
constexpr std::int64_t kPullFrames = 960;

// Unbounded noise, repeating every 2^16 frames, that honours explicit positions.
class CNoiseSource : public CSoundPullSocket {
 public:
  explicit CNoiseSource(std::int32_t rate)
      : CSoundPullSocket(CSoundTraits(kFormatInt16, kChannels, rate)),
        m_Noise(kPeriod * kChannels) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> sample(-16384, 16383);
    for (auto& s : m_Noise) s = static_cast<std::int16_t>(sample(random));
  }

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    tags.Clear();
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    for (std::int64_t f = 0; f < count;) {
      const std::int64_t offset = ((at % kPeriod) + kPeriod) % kPeriod;
      const std::int64_t n = std::min(count - f, kPeriod - offset);
      std::memcpy(block.data + f * frameSize, m_Noise.data() + offset * kChannels,
                  static_cast<std::size_t>(n * frameSize));
      f += n;
      at += n;
    }
    m_Next = at;
    return count;
  }
  std::int64_t GetLength() override { return kUnspecifiedFrames; }

 private:
  static constexpr std::int64_t kPeriod = 1 << 16;
  std::vector<std::int16_t> m_Noise;
  std::int64_t m_Next = 0;
};

double Percentile(std::vector<double>& sorted, double fraction) {
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

// Arguments: source rate, target rate, ratio bound (1000: L/M = 25/23, 200000: 160/147).
void BM_RateConverterPull(benchmark::State& state) {
  TCountedRef<CSoundPullSocket> source(new CNoiseSource(static_cast<std::int32_t>(state.range(0))));
  TCountedRef<CSampleRateConverter> converter(new CSampleRateConverter(
      source, static_cast<std::int32_t>(state.range(1)), CQuality(0.2), CCacheBudget(512),
      CRatioBound(static_cast<double>(state.range(2)))));
  std::vector<float> out(kPullFrames * kChannels);
  const CDataBlock block{{converter->frameSize, 1}, reinterpret_cast<std::uint8_t*>(out.data())};
  // Warm the cache so the first pull does not count the initial fill.
  converter->Pull(block, kPullFrames, kUnspecifiedFrames);
  const std::int64_t blocksBefore = converter->ComputedBlocks();
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(converter->Pull(block, kPullFrames, kUnspecifiedFrames));
    const auto stop = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["L"] = converter->Ratio().upFactor;
  state.counters["M"] = converter->Ratio().downFactor;
  state.counters["median_us"] = Percentile(micros, 0.5);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["max_us"] = micros.back();
  state.counters["blocks_per_pull"] =
      static_cast<double>(converter->ComputedBlocks() - blocksBefore) /
      static_cast<double>(micros.size());
}

BENCHMARK(BM_RateConverterPull)
    ->ArgNames({"from", "to", "bound"})
    ->Args({44100, 48000, 1000})
    ->Args({48000, 44100, 1000})
    ->Args({44100, 48000, 200000})
    ->Args({48000, 44100, 200000})
    ->MinTime(1.0)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
