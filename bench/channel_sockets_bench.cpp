// Channel sockets against the memcpy floor: one render period (960 frames) per iteration,
// pulled through a socket over a buffer that holds the whole source.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "graph/sound_buffer.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_replicator_socket.h"
#include "samples/sample_format.h"

namespace {

using namespace halvern;

constexpr std::int64_t kPeriod = 960;

TCountedRef<CSoundBuffer> Source(std::int32_t format, std::int32_t channels) {
  return new CSoundBuffer(CSoundTraits(format, channels, 48000), kPeriod);
}

void BM_MemcpyFloor(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(kPeriod * state.range(0));
  std::vector<std::uint8_t> from(bytes, 1);
  std::vector<std::uint8_t> to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
// Bytes per output frame: stereo 16-bit, stereo 24-bit, six-channel 16-bit and 24-bit.
BENCHMARK(BM_MemcpyFloor)->Arg(4)->Arg(6)->Arg(12)->Arg(18);

void BM_SelectStereoOfSix(benchmark::State& state) {
  const auto format = static_cast<std::int32_t>(state.range(0));
  auto source = Source(format, 6);
  const std::int32_t map[] = {0, 1};
  TCountedRef<CSoundChannelSelectorSocket> selector(
      new CSoundChannelSelectorSocket(source, 2, map, kPeriod));
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kPeriod * selector->frameSize));
  const CDataBlock block{{selector->frameSize, 1}, out.data()};
  for (auto _ : state) {
    benchmark::DoNotOptimize(selector->Pull(block, kPeriod, 0));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_SelectStereoOfSix)->Arg(kFormatInt16)->Arg(kFormatPacked24);

void BM_ReplicateMonoToSix(benchmark::State& state) {
  const auto format = static_cast<std::int32_t>(state.range(0));
  auto source = Source(format, 1);
  TCountedRef<CSoundReplicatorSocket> replicator(new CSoundReplicatorSocket(source, 6));
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kPeriod * replicator->frameSize));
  const CDataBlock block{{replicator->frameSize, 1}, out.data()};
  for (auto _ : state) {
    benchmark::DoNotOptimize(replicator->Pull(block, kPeriod, 0));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_ReplicateMonoToSix)->Arg(kFormatInt16)->Arg(kFormatPacked24);

}  // namespace
