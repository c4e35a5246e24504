// Format conversion throughput beside memcpy of the same number of bytes (the larger of the two
// buffers), over 1 M samples. Each conversion reports `vs_memcpy`: memcpy time / conversion time,
// measured in the same run (1.0 means as fast as copying).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "samples/sample_funnel.h"

namespace {

using halvern::CSampleFunnel;

constexpr int kSamples = 1 << 20;

std::vector<unsigned char> RandomBytes(std::size_t n) {
  std::vector<unsigned char> out(n);
  std::mt19937 random(42);
  for (auto& b : out) b = static_cast<unsigned char>(random());
  return out;
}

std::vector<unsigned char> FloatsInRange() {
  std::vector<float> values(kSamples);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (auto& v : values) v = dist(random);
  std::vector<unsigned char> out(values.size() * 4);
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

// Seconds per memcpy of `bytes`, best of a few runs.
double MemcpySeconds(std::size_t bytes) {
  std::vector<unsigned char> a = RandomBytes(bytes), b(bytes);
  double best = 1e9;
  for (int i = 0; i < 20; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    if (dt.count() < best) best = dt.count();
  }
  benchmark::DoNotOptimize(b.data());
  return best;
}

void RunConversion(benchmark::State& state, std::uint32_t from, std::uint32_t to, int inWidth,
                   int outWidth, const std::vector<unsigned char>& src) {
  auto converter = CSampleFunnel::Create(from, to, 2, {});
  std::vector<unsigned char> dst(static_cast<std::size_t>(kSamples) * outWidth);
  double best = 1e9;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    converter->Convert(dst.data(), src.data(), kSamples);
    benchmark::ClobberMemory();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    if (dt.count() < best) best = dt.count();
  }
  const std::size_t bytes =
      static_cast<std::size_t>(kSamples) * static_cast<std::size_t>(std::max(inWidth, outWidth));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  state.counters["vs_memcpy"] = MemcpySeconds(bytes) / best;
}

void BM_Memcpy4MiB(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(kSamples) * 4;
  std::vector<unsigned char> a = RandomBytes(bytes), b(bytes);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Memcpy4MiB);

void BM_Int16ToFloat(benchmark::State& state) {
  RunConversion(state, 2, 6, 2, 4, RandomBytes(kSamples * 2));
}
BENCHMARK(BM_Int16ToFloat);

void BM_FloatToInt16Quantizer(benchmark::State& state) {
  RunConversion(state, 6, 2, 4, 2, FloatsInRange());
}
BENCHMARK(BM_FloatToInt16Quantizer);

void BM_Packed24ToFloat(benchmark::State& state) {
  RunConversion(state, 3, 6, 3, 4, RandomBytes(kSamples * 3));
}
BENCHMARK(BM_Packed24ToFloat);

void BM_FloatToInt32(benchmark::State& state) { RunConversion(state, 6, 5, 4, 4, FloatsInRange()); }
BENCHMARK(BM_FloatToInt32);

// A pair without a vector kernel, for scale: the generic inlined per-sample rule.
void BM_GenericInt32ToSwappedPacked24(benchmark::State& state) {
  RunConversion(state, 5, 15, 4, 3, RandomBytes(kSamples * 4));
}
BENCHMARK(BM_GenericInt32ToSwappedPacked24);

}  // namespace
