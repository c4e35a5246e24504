#include "processing/zub_ring_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "base/zub_log.h"
#include "base/zub_log_modules.h"
#include "processing/zub_audio_filter_level.h"
#include "processing/zub_audio_processor.h"
#include "samples/sample_format.h"
#include "support/debug_capture.h"

namespace halvern {
namespace {

std::vector<std::uint8_t> Sequence(int count, int first = 0) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(first));
  return bytes;
}

std::vector<std::uint8_t> ReadAll(CZubRingBuffer& ring, int length) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  out.resize(static_cast<std::size_t>(ring.Read(out.data(), length)));
  return out;
}

// The ring's overflow warnings among the captured debugger output.
std::vector<std::string> Warnings(const testing::DebugCapture& capture) {
  std::vector<std::string> found;
  for (const auto& line : capture.Lines())
    if (line.find("CZubRingBuffer::Write") != std::string::npos) found.push_back(line);
  return found;
}

// Makes exactly one overflow: from empty, two writes of more than half the capacity.
void Overflow(CZubRingBuffer& ring, int capacity) {
  ReadAll(ring, capacity);
  const auto block = Sequence(capacity / 2 + 1);
  ring.Write(block.data(), capacity / 2 + 1);
  ring.Write(block.data(), capacity / 2 + 1);
}

TEST(RingBuffer, WithoutStorageNothingMoves) {
  CZubRingBuffer ring("Test");
  const auto bytes = Sequence(4);
  std::uint8_t out[4] = {};
  EXPECT_EQ(ring.Write(bytes.data(), 4), 0);
  EXPECT_EQ(ring.Read(out, 4), 0);
  EXPECT_FALSE(ring.Create(0));
  ASSERT_TRUE(ring.Create(8));
  EXPECT_EQ(ring.Write(nullptr, 4) + ring.Read(nullptr, 4) + ring.Write(bytes.data(), -3), 0);
  // Creating again discards the content; without storage again nothing is written.
  ring.Write(bytes.data(), 4);
  ASSERT_TRUE(ring.Create(16));
  EXPECT_EQ(ring.GetAvailable(), 0);
  ring.Destroy();
  EXPECT_EQ(ring.Write(bytes.data(), 4), 0);
}

// A write of Sequence(n, first) expecting `result` bytes written, or a read of n bytes expecting
// Sequence(result, first); then `available` bytes are left.
struct Step {
  bool write;
  int n, first, result, available;
};
constexpr bool W = true;
constexpr bool R = false;

TEST(RingBuffer, WritesAndReadsWrapAndAnOverflowKeepsTheNewestHalf) {
  const struct {
    const char* name;
    int capacity, warnings;
    std::vector<Step> steps;
  } cases[] = {
      // Ends at 3 after wrapping; the reader at 5 is not passed, so nothing is dropped.
      {"wraps",
       10,
       0,
       {{W, 7, 0, 7, 7}, {R, 5, 0, 5, 2}, {W, 6, 100, 6, 8}, {R, 2, 5, 2, 6}, {R, 20, 100, 6, 0}}},
      // Both positions are back at 0 after ending exactly at the capacity; reads of nothing.
      {"ends at capacity",
       8,
       0,
       {{R, 8, 0, 0, 0},
        {W, 8, 0, 8, 8},
        {R, 8, 0, 8, 0},
        {W, 3, 50, 3, 3},
        {R, 0, 0, 0, 3},
        {R, 2, 50, 2, 1},
        {R, 9, 52, 1, 0}}},
      // Into an empty ring the last `capacity` bytes are kept, and that is no overflow.
      {"oversize write",
       8,
       0,
       {{W, 3, 0, 3, 3}, {R, 3, 0, 3, 0}, {W, 20, 0, 8, 8}, {R, 8, 12, 8, 0}}},
      // A full ring is not a short write.
      {"overflow", 10, 2, {{W, 6, 0, 6, 6}, {W, 6, 100, 6, 5}, {R, 10, 101, 5, 0}}},
      // The last write fills 3..4, over the unread bytes at the reader.
      {"overflow at the reader",
       10,
       2,
       {{W, 5, 0, 5, 5},
        {R, 3, 0, 3, 2},
        {W, 8, 40, 8, 10},
        {W, 2, 60, 2, 5},
        {R, 3, 45, 3, 2},
        {R, 10, 60, 2, 0}}},
      // The write ends at 500 past the reader at 100: reading resumes at 0, not at the capacity.
      {"read position wraps",
       1000,
       2,
       {{W, 600, 0, 600, 600},
        {R, 100, 0, 100, 500},
        {W, 900, 0, 900, 500},
        {R, 500, 400, 500, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::DebugCapture capture;
    CZubRingBuffer ring("Test");
    ASSERT_TRUE(ring.Create(c.capacity));
    for (const Step& step : c.steps) {
      if (step.write) {
        const auto bytes = Sequence(step.n, step.first);
        EXPECT_EQ(ring.Write(bytes.data(), step.n), step.result);
      } else {
        EXPECT_EQ(ReadAll(ring, step.n), Sequence(step.result, step.first));
      }
      EXPECT_EQ(ring.GetAvailable(), step.available);
    }
    EXPECT_EQ(Warnings(capture).size(), static_cast<std::size_t>(c.warnings));
  }
}

// The first overflow and every thirtieth after it warn, counted also while the level is off; a
// reset starts the count again.
TEST(RingBuffer, OverflowWarningsOnFirstAndThirtyFirstUntilAReset) {
  testing::DebugCapture capture;
  CZubRingBuffer ring("CVxAudioCaptureSocket");
  ASSERT_TRUE(ring.Create(100));
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 2u);
  EXPECT_NE(Warnings(capture)[0].find("<CVxAudioCaptureSocket> BUFFER OVERWRITE  <LOGCOUNT: 1>\n"),
            std::string::npos);
  EXPECT_NE(
      Warnings(capture)[1].find(
          "<CVxAudioCaptureSocket> WARNING: Discarded half buffer on overflow <LOGCOUNT: 1>\n"),
      std::string::npos);
  auto& entry = ZubLogModuleTable().entries[g_ZubRingBufferLog.index];
  const std::uint32_t saved = entry.enabledMask;
  entry.enabledMask &= ~(1u << g_ZubRingBufferLog.levelWrn);
  for (int i = 0; i < 29; ++i) Overflow(ring, 100);
  entry.enabledMask = saved;
  ASSERT_EQ(Warnings(capture).size(), 2u);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 4u);
  EXPECT_NE(Warnings(capture)[2].find("BUFFER OVERWRITE  <LOGCOUNT: 31>"), std::string::npos);
  EXPECT_NE(Warnings(capture)[3].find("overflow <LOGCOUNT: 31>"), std::string::npos);
  ring.Reset();
  EXPECT_EQ(ring.GetAvailable(), 0);
  EXPECT_EQ(ring.GetCapacity(), 100);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 6u);
  EXPECT_NE(Warnings(capture)[4].find("<LOGCOUNT: 1>"), std::string::npos);
}

// A writer pushes numbered frames while a reader pulls larger blocks: every read returns a
// contiguous run of the stream, runs only move forward, and the last frame written arrives.
TEST(RingBuffer, WriterAndReaderThreadsKeepTheStreamInOrder) {
  constexpr std::uint32_t kFrames = 200000;
  constexpr int kWritePacket = 37;
  constexpr int kReadBlock = 61;
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(4096));
  std::thread writer([&] {
    std::uint32_t packet[kWritePacket];
    for (std::uint32_t next = 0; next < kFrames;) {
      int n = 0;
      for (; n < kWritePacket && next < kFrames; ++n) packet[n] = next++;
      ring.Write(packet, n * 4);
      std::this_thread::yield();
    }
  });

  std::int64_t last = -1;
  bool ordered = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::uint32_t block[kReadBlock];
  while (last + 1 < kFrames && std::chrono::steady_clock::now() < deadline) {
    const int bytes = ring.Read(block, kReadBlock * 4);
    ordered = ordered && bytes % 4 == 0;  // whole frames only
    for (int i = 0; i < bytes / 4; ++i) {
      if (i > 0 && block[i] != block[i - 1] + 1) ordered = false;
      if (static_cast<std::int64_t>(block[i]) <= last) ordered = false;
      last = block[i];
    }
    if (bytes == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(last, static_cast<std::int64_t>(kFrames) - 1);
}

// 10^(-d/20) in single precision, the release factor for d dB per step.
double ReleaseFactorFor(float decibels) {
  return static_cast<double>(powf(10.0f, -decibels / 20.0f));
}

// A millisecond per step: the peak holds for a step, then releases a hundredth of a decibel,
// unless the sample at the release step is at least as loud; the next step follows either way.
TEST(LevelFilter, HoldsAStepThenReleasesUnlessTheReleaseSampleIsAsLoud) {
  EXPECT_EQ(CZubAudioFilter_Level(44100).StepLength(), 44u);
  CZubAudioFilter_Level level(48000);
  EXPECT_EQ(level.GetPeakDb(), -144.0);
  EXPECT_EQ(level.FilterSample(1.0), 1.0);
  for (int sample = 2; sample <= 48; ++sample) {
    level.FilterSample(0.0);
    ASSERT_EQ(level.GetPeak(), 1.0) << "sample " << sample;
  }
  level.FilterSample(0.0);  // the 49th sample is a release step
  const double once = ReleaseFactorFor(0.01f);
  EXPECT_EQ(level.GetPeak(), once);
  for (int i = 0; i < 48; ++i) level.FilterSample(0.0);
  level.FilterSample(-once);  // equal magnitude at the next release step: no release
  EXPECT_EQ(level.GetPeak(), once);
  for (int i = 0; i < 48; ++i) level.FilterSample(0.0);
  level.FilterSample(0.75);  // quieter at the release step after that
  EXPECT_EQ(level.GetPeak(), once * once);
  level.Reset();
  level.FilterSample(1e-9);  // -180 dB is below the floor
  EXPECT_EQ(level.GetPeakDb(), -144.0);
}

// Each channel has its own meter and gain, the rotation over the channels carrying across
// packets; all channels read as the mean peak, channels outside the count as silence.
TEST(AudioProcessor, ChannelsRotateAcrossPacketsAndTheirPeaksAreMeaned) {
  CZubAudioProcessor processor(kFormatFloat, 2, 48000);
  float packet[] = {0.5f, -0.25f, 0.125f, 0.0f};
  processor.Process(packet, sizeof packet);
  EXPECT_EQ(processor.GetPeak(0), 0.5);
  EXPECT_EQ(processor.GetPeak(CZubAudioProcessor::kAllChannels), 0.375);
  EXPECT_EQ(processor.GetPeakDb(1), static_cast<double>(20.0f * log10f(0.25f)));
  EXPECT_EQ(processor.GetPeakDb(2), -144.0);
  EXPECT_EQ(processor.GetPeak(-2), 0.0);
  processor.Reset();
  EXPECT_EQ(processor.GetPeak(0), 0.0);
  processor.SetGain(0.0, 1);
  float packets[6] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};  // L R L, then R L R
  processor.Process(packets, 3 * sizeof(float));
  processor.Process(packets + 3, 3 * sizeof(float));
  EXPECT_EQ(std::vector<float>(packets, packets + 6),
            (std::vector<float>{0.5f, 0.0f, 0.5f, 0.0f, 0.5f, 0.0f}));
}

// Mono, with the gain applied in place on the normalised scale; the meter sees the scaled sample.
template <class T>
double Processed(std::uint32_t format, double gain, std::vector<T>& samples) {
  CZubAudioProcessor processor(format, 1, 8000);
  EXPECT_TRUE(processor.SetGain(gain, 0));
  processor.Process(samples.data(), static_cast<std::uint32_t>(samples.size() * sizeof(T)));
  return processor.GetPeak(0);
}

TEST(AudioProcessor, EveryFilteredFormatIsScaledInPlaceAndMeteredAfterTheGain) {
  // At unity the 16-bit full-range round trip moves some values one step toward zero.
  std::vector<std::int16_t> shorts = {-31232, 33, 0, 32767, -32768, 100};
  EXPECT_EQ(Processed(kFormatInt16, 1.0, shorts), 1.0);
  EXPECT_EQ(shorts, (std::vector<std::int16_t>{-31231, 32, 0, 32767, -32768, 100}));
  shorts = {32767};
  EXPECT_EQ(Processed(kFormatInt16, 0.5, shorts), 0.5);
  EXPECT_EQ(shorts[0], 16383);
  std::vector<float> floats = {1.0f, -0.5f, 0.25f};
  EXPECT_EQ(Processed(kFormatFloat, 0.5, floats), 0.5);
  EXPECT_EQ(floats, (std::vector<float>{0.5f, -0.25f, 0.125f}));
  // 127 decodes to 1.0 -> 0.5 -> trunc((0.5 - 0.0039215686274509665) * 127.5) = 63; -128 to -64.
  std::vector<std::int8_t> bytes = {127, -128};
  EXPECT_EQ(Processed(kFormatInt8, 0.5, bytes), 0.5);
  EXPECT_EQ(bytes, (std::vector<std::int8_t>{63, -64}));
  // (0.5 - 2^-32) x 2147483647.5 = 1073741823.25 (about), truncated.
  std::vector<std::int32_t> ints = {2147483647};
  EXPECT_EQ(Processed(kFormatInt32, 0.5, ints), 0.5);
  EXPECT_EQ(ints[0], 1073741823);
  std::vector<double> doubles = {-0.125};
  EXPECT_EQ(Processed(kFormatDouble, 0.5, doubles), 0.0625);
  EXPECT_EQ(doubles[0], -0.0625);
}

TEST(AudioProcessor, GainAndDecayAcceptanceRules) {
  CZubAudioProcessor processor(kFormatFloat, 2, 48000);
  EXPECT_TRUE(processor.SetGain(1.5, 0));  // ignored by the filter, still true
  EXPECT_TRUE(processor.SetGainDb(6.0, 0));
  EXPECT_EQ(processor.GetGain(0), 1.0);
  EXPECT_TRUE(processor.SetGainDb(-6.0, 1));
  EXPECT_EQ(processor.GetGain(1), static_cast<double>(powf(10.0f, -6.0f / 20.0f)));
  EXPECT_TRUE(processor.SetGain(0.25, CZubAudioProcessor::kAllChannels));
  EXPECT_EQ(processor.GetGain(0), 0.25);
  EXPECT_EQ(processor.GetGainDb(1), static_cast<double>(20.0f * log10f(0.25f)));
  EXPECT_FALSE(processor.SetGain(0.5, 2));
  EXPECT_EQ(processor.GetGain(CZubAudioProcessor::kAllChannels), 0.0);
  processor.SetGain(0.0, 0);
  EXPECT_EQ(processor.GetGainDb(0), -144.0);

  for (double bad : {0.0, -3.0, std::nan("")}) EXPECT_FALSE(processor.SetDecay(bad)) << bad;
  EXPECT_TRUE(processor.SetDecay(3.0));
  // 3 dB per second is 0.003 dB per one-millisecond step.
  float packet[100] = {1.0f, 1.0f};
  processor.SetGain(1.0, 0);
  processor.Process(packet, sizeof packet);
  EXPECT_EQ(processor.GetPeak(0), ReleaseFactorFor(0.003f));
}

TEST(AudioProcessor, InvalidChannelCountsAndUnfilteredFormatsLeavePacketsAlone) {
  for (const auto& [format, channels] :
       {std::pair{kFormatFloat, 0}, {kFormatFloat, 9}, {kFormatFloat, -1}, {kFormatPacked24, 1}}) {
    SCOPED_TRACE(channels);
    CZubAudioProcessor processor(format, channels, 48000);
    const bool valid = channels == 1;
    EXPECT_EQ(processor.IsValid(), valid);
    EXPECT_EQ(processor.SetGain(0.5, 0), valid);
    EXPECT_EQ(processor.SetDecay(3.0), valid);
    std::uint8_t packet[12] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0, 0, 0, 0, 0, 0x3F};
    processor.Process(packet, sizeof packet);
    EXPECT_EQ(packet[2], 0x7F);
    EXPECT_EQ(packet[11], 0x3F);
    EXPECT_EQ(processor.GetPeak(0), 0.0);
  }
}

}  // namespace
}  // namespace halvern
