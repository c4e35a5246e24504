#include "processing/zub_audio_processor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "processing/zub_audio_filter_level.h"
#include "samples/sample_format.h"

namespace halvern {
namespace {

constexpr double kFullScaleStep = 1.0;

// 10^(-d/20) in single precision, the release factor for d dB per step.
double ReleaseFactorFor(float decibels) {
  return static_cast<double>(powf(10.0f, -decibels / 20.0f));
}

// A millisecond per step; the peak in decibels has a floor.
TEST(LevelFilter, StartsSilentAtUnityGainAndReleasesAHundredthOfADecibelPerStep) {
  CZubAudioFilter_Level level(48000);
  EXPECT_EQ(level.StepLength(), 48u);
  EXPECT_EQ(CZubAudioFilter_Level(44100).StepLength(), 44u);
  EXPECT_EQ(level.GetPeak(), 0.0);
  EXPECT_EQ(level.GetPeakDb(), -144.0);
  EXPECT_EQ(level.GetGain(), 1.0);
  EXPECT_EQ(level.ReleaseFactor(), ReleaseFactorFor(0.01f));
  level.FilterSample(0.5);
  EXPECT_EQ(level.GetPeakDb(), static_cast<double>(20.0f * log10f(0.5f)));
  level.Reset();
  level.FilterSample(1e-9);  // -180 dB
  EXPECT_EQ(level.GetPeakDb(), -144.0);
}

TEST(LevelFilter, HoldsForStepLengthSamplesThenReleases) {
  CZubAudioFilter_Level level(48000);
  level.Reset();
  EXPECT_EQ(level.FilterSample(kFullScaleStep), 1.0);
  for (int sample = 2; sample <= 48; ++sample) {
    level.FilterSample(0.0);
    ASSERT_EQ(level.GetPeak(), 1.0) << "sample " << sample;
  }
  level.FilterSample(0.0);  // the 49th sample is a release step
  const double once = level.ReleaseFactor();
  EXPECT_EQ(level.GetPeak(), once);
  // The next step comes 49 samples later.
  for (int i = 0; i < 48; ++i) level.FilterSample(0.0);
  EXPECT_EQ(level.GetPeak(), once);
  level.FilterSample(0.0);
  EXPECT_EQ(level.GetPeak(), once * once);
}

TEST(LevelFilter, ReleaseStepTakesALouderOrEqualSample) {
  CZubAudioFilter_Level level(48000);
  level.FilterSample(0.5);
  for (int i = 0; i < 47; ++i) level.FilterSample(0.1);
  level.FilterSample(-0.5);  // equal magnitude at the release step: no release
  EXPECT_EQ(level.GetPeak(), 0.5);
  for (int i = 0; i < 48; ++i) level.FilterSample(0.0);
  level.FilterSample(0.75);  // louder at the release step
  EXPECT_EQ(level.GetPeak(), 0.75);
}

TEST(LevelFilter, GainScalesBeforeMetering) {
  CZubAudioFilter_Level level(48000);
  level.SetGain(0.25);
  EXPECT_EQ(level.FilterSample(-0.8), -0.8 * 0.25);
  EXPECT_EQ(level.GetPeak(), 0.8 * 0.25);
  level.SetGain(1.5);
  level.SetGain(-0.1);
  EXPECT_EQ(level.GetGain(), 0.25);
  level.SetGain(0.0);
  EXPECT_EQ(level.FilterSample(0.9), 0.0);
}

std::vector<float> Stereo(std::initializer_list<float> samples) {
  return std::vector<float>(samples);
}

TEST(AudioProcessor, MeansChannelPeaksForAllChannels) {
  CZubAudioProcessor processor(kFormatFloat, 2, 48000);
  ASSERT_TRUE(processor.IsValid());
  auto packet = Stereo({0.5f, -0.25f, 0.125f, 0.0f});
  processor.Process(packet.data(), static_cast<std::uint32_t>(packet.size() * sizeof(float)));
  EXPECT_EQ(processor.GetPeak(0), 0.5);
  EXPECT_EQ(processor.GetPeak(1), 0.25);
  EXPECT_EQ(processor.GetPeak(CZubAudioProcessor::kAllChannels), 0.375);
  EXPECT_EQ(processor.GetPeakDb(1), static_cast<double>(20.0f * log10f(0.25f)));
  // Channels at or above the count read as silence.
  EXPECT_EQ(processor.GetPeak(2), 0.0);
  EXPECT_EQ(processor.GetPeakDb(2), -144.0);
  EXPECT_EQ(processor.GetPeak(-2), 0.0);
  processor.Reset();
  EXPECT_EQ(processor.GetPeak(0), 0.0);
}

TEST(AudioProcessor, GainIsAppliedInPlacePerChannel) {
  CZubAudioProcessor processor(kFormatInt16, 2, 48000);
  ASSERT_TRUE(processor.SetGain(0.5, 0));
  std::int16_t packet[4] = {32767, 32767, -32768, 100};
  processor.Process(packet, sizeof packet);
  // Full-range 16-bit rule: d = x * 2/65535 + offset, y = trunc((d - offset) * 32767.5).
  const double scale = 2.0 / 65535.0;
  const double offset = 1.0 - 32767.0 * scale;
  auto expected = [&](int x, double gain) {
    const double d = (x * scale + offset) * gain;
    return static_cast<std::int16_t>(std::trunc((d - offset) * 32767.5));
  };
  EXPECT_EQ(packet[0], expected(32767, 0.5));
  EXPECT_EQ(packet[0], 16383);
  EXPECT_EQ(packet[1], expected(32767, 1.0));
  EXPECT_EQ(packet[2], expected(-32768, 0.5));
  EXPECT_EQ(packet[3], expected(100, 1.0));
  EXPECT_EQ(processor.GetPeak(0), 0.5);
  EXPECT_EQ(processor.GetPeak(1), 1.0);
}

TEST(AudioProcessor, ChannelRotationCarriesAcrossPackets) {
  CZubAudioProcessor processor(kFormatFloat, 2, 48000);
  processor.SetGain(0.0, 1);
  float first[3] = {0.5f, 0.5f, 0.5f};   // L R L
  float second[3] = {0.5f, 0.5f, 0.5f};  // R L R
  processor.Process(first, sizeof first);
  processor.Process(second, sizeof second);
  EXPECT_EQ(Stereo({first[0], first[1], first[2], second[0], second[1], second[2]}),
            Stereo({0.5f, 0.0f, 0.5f, 0.0f, 0.5f, 0.0f}));
}

TEST(AudioProcessor, GainAcceptanceRules) {
  CZubAudioProcessor processor(kFormatFloat, 2, 48000);
  EXPECT_TRUE(processor.SetGain(1.5, 0));  // ignored by the filter, still true
  EXPECT_EQ(processor.GetGain(0), 1.0);
  EXPECT_TRUE(processor.SetGainDb(6.0, 0));
  EXPECT_EQ(processor.GetGain(0), 1.0);
  EXPECT_TRUE(processor.SetGainDb(-6.0, 1));
  EXPECT_EQ(processor.GetGain(1), static_cast<double>(powf(10.0f, -6.0f / 20.0f)));
  EXPECT_TRUE(processor.SetGain(0.25, CZubAudioProcessor::kAllChannels));
  EXPECT_EQ(processor.GetGain(0), 0.25);
  EXPECT_EQ(processor.GetGain(1), 0.25);
  EXPECT_FALSE(processor.SetGain(0.5, 2));
  EXPECT_FALSE(processor.SetGain(0.5, 8));
  EXPECT_EQ(processor.GetGain(2), 0.0);
  EXPECT_EQ(processor.GetGain(CZubAudioProcessor::kAllChannels), 0.0);
  processor.SetGain(0.0, 0);
  EXPECT_EQ(processor.GetGainDb(0), -144.0);
  EXPECT_EQ(processor.GetGainDb(1), static_cast<double>(20.0f * log10f(0.25f)));
}

TEST(AudioProcessor, DecayMustBePositive) {
  CZubAudioProcessor processor(kFormatFloat, 1, 48000);
  double decay = -1.0;
  EXPECT_TRUE(processor.GetDecay(decay));
  EXPECT_EQ(decay, 0.0);
  EXPECT_FALSE(processor.SetDecay(0.0));
  EXPECT_FALSE(processor.SetDecay(-3.0));
  EXPECT_FALSE(processor.SetDecay(std::nan("")));
  EXPECT_TRUE(processor.GetDecay(decay));
  EXPECT_EQ(decay, 0.0);
  EXPECT_TRUE(processor.SetDecay(3.0));
  processor.GetDecay(decay);
  EXPECT_EQ(decay, 3.0);
  // 3 dB per second is 0.003 dB per one-millisecond step.
  float packet[50] = {1.0f};
  processor.Process(packet, sizeof packet);
  EXPECT_EQ(processor.GetPeak(0), ReleaseFactorFor(0.003f));
}

TEST(AudioProcessor, InvalidChannelCountsDoNothing) {
  for (int channels : {0, 9, -1}) {
    CZubAudioProcessor processor(kFormatFloat, channels, 48000);
    EXPECT_FALSE(processor.IsValid());
    float packet[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    processor.Process(packet, sizeof packet);
    EXPECT_EQ(packet[0], 0.5f);
    EXPECT_EQ(processor.GetPeak(0), 0.0);
    EXPECT_EQ(processor.GetPeakDb(0), -144.0);
    EXPECT_FALSE(processor.SetGain(0.5, 0));
    EXPECT_FALSE(processor.SetDecay(3.0));
    EXPECT_EQ(processor.GetGain(0), 0.0);
  }
}

TEST(AudioProcessor, FormatsWithoutAFilterPassUntouched) {
  CZubAudioProcessor processor(kFormatPacked24, 1, 48000);
  ASSERT_TRUE(processor.IsValid());
  processor.SetGain(0.5, 0);
  std::uint8_t packet[6] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80};
  processor.Process(packet, sizeof packet);
  EXPECT_EQ(packet[2], 0x7F);
  EXPECT_EQ(processor.GetPeak(0), 0.0);
}

TEST(AudioProcessor, EightBitAndIntAndDoublePacketsAreMetered) {
  CZubAudioProcessor bytes(kFormatInt8, 1, 8000);
  std::int8_t b[1] = {127};
  bytes.Process(b, 1);
  EXPECT_EQ(bytes.GetPeak(0), 1.0);
  CZubAudioProcessor ints(kFormatInt32, 1, 8000);
  std::int32_t i[1] = {-2147483647 - 1};
  ints.Process(i, 4);
  EXPECT_EQ(ints.GetPeak(0), 1.0);
  CZubAudioProcessor doubles(kFormatDouble, 1, 8000);
  double d[1] = {-0.125};
  doubles.Process(d, 8);
  EXPECT_EQ(doubles.GetPeak(0), 0.125);
}

}  // namespace
}  // namespace halvern
