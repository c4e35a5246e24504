#include "processing/zub_audio_processor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "processing/zub_audio_filter_level.h"
#include "samples/sample_format.h"

namespace halvern {
namespace {

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
