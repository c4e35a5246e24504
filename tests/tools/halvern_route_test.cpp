#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "options.h"
#include "summary.h"
#include "text.h"

namespace halvern::route {
namespace {

TEST(HalvernRouteOptions, OutputSpecs) {
  const auto ok = ParseOutput("Desk Speakers,44100,2,f32,skew=-100.5");
  ASSERT_TRUE(ok.value) << ok.error;
  EXPECT_EQ(ok.value->name, "Desk Speakers");
  EXPECT_EQ(ok.value->rate, 44100);
  EXPECT_EQ(ok.value->channels, 2);
  EXPECT_EQ(ok.value->format, "f32");
  EXPECT_DOUBLE_EQ(ok.value->skewPpm, -100.5);
  EXPECT_TRUE(ParseOutput("Headset,16000,1,s16").value);
  for (const char* bad : {"", "A,48000,2", "A,48000,2,s16,skew=1,x", ",48000,2,s16", "A,48k,2,s16",
                          "A,100,2,s16", "A,48000,0,s16", "A,48000,9,s16", "A,48000,2,u8",
                          "A,48000,2,s16,skew=", "A,48000,2,s16,drift=5", "A,48000,2,s16,skew=nan",
                          "A,48000,2,s16,skew=20000"}) {
    const auto r = ParseOutput(bad);
    EXPECT_FALSE(r.value) << bad;
    EXPECT_FALSE(r.error.empty()) << bad;
  }
}

TEST(HalvernRouteOptions, SourcesUnplugAndGain) {
  const auto tone = ParseSource("tone:440@-12.5");
  ASSERT_TRUE(tone.value);
  EXPECT_DOUBLE_EQ(std::get<ToneSource>(*tone.value).hz, 440);
  EXPECT_DOUBLE_EQ(std::get<ToneSource>(*tone.value).dbfs, -12.5);
  EXPECT_DOUBLE_EQ(std::get<ToneSource>(*ParseSource("tone:997").value).dbfs, -6);
  EXPECT_EQ(std::get<FileSource>(*ParseSource("music.wav").value).path, "music.wav");
  for (const char* bad :
       {"", "tone:", "tone:0", "tone:30000", "tone:440@3", "tone:440@x", "tone:440@-6@1"})
    EXPECT_FALSE(ParseSource(bad).value) << bad;

  const auto unplug = ParseUnplug("USB Headset@2.5");
  ASSERT_TRUE(unplug.value);
  EXPECT_EQ(unplug.value->name, "USB Headset");
  EXPECT_DOUBLE_EQ(unplug.value->seconds, 2.5);
  for (const char* bad : {"Headset", "@3", "Headset@", "Headset@-1", "Headset@soon"})
    EXPECT_FALSE(ParseUnplug(bad).value) << bad;

  const auto gain = ParseGain("-3,1.5");
  ASSERT_TRUE(gain.value);
  EXPECT_FLOAT_EQ(gain.value->left, -3);
  EXPECT_FLOAT_EQ(gain.value->right, 1.5f);
  for (const char* bad : {"", "-3", "-3,", "a,b", "1,2,3"})
    EXPECT_FALSE(ParseGain(bad).value) << bad;
}

TEST(HalvernRouteText, RoundTripsAndStopsAtTheFieldEnd) {
  const std::string text = "Lautsprecher (Ü) \xF0\x9F\x8E\xA7";  // includes a surrogate pair
  const KovraString wide = ToKovra(text);
  EXPECT_EQ(wide.size(), 19u);
  EXPECT_EQ(ToUtf8(wide.c_str(), wide.size()), text);
  KovraChar16 field[4] = {'a', 'b', 'c', 'd'};  // no terminator: read exactly four
  EXPECT_EQ(ToUtf8(field), "abcd");
  const KovraChar16 lone[] = {0xD800, 'x', 0};
  EXPECT_EQ(ToUtf8(lone, 3), "\xEF\xBF\xBDx");
  EXPECT_EQ(ToKovra("\xFF"), KovraString(1, static_cast<KovraChar16>(0xFFFD)));
}

// A device that received a 1 kHz tone 30 ms after the source started it, after some silence, in
// 10 ms periods, with one lost 7-frame stretch.
TEST(HalvernRouteSummary, LatencyFrequencyLevelAndGlitchesFromTheSignal) {
  Recording r;
  r.device = {"Speakers", 48000, 2, "f32", 0};
  const auto sourceStart = Clock::time_point(std::chrono::seconds(100));
  const int period = 480;
  const int silentFrames =
      48000 / 1000 * 30 + 2 * period;  // 30 ms after the start, plus two periods before it
  const double amplitude = std::pow(10.0, -6.0 / 20);
  std::vector<float> mono(static_cast<std::size_t>(silentFrames), 0.0f);
  for (int n = 0; n < 96000; ++n)
    mono.push_back(
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000 * n / 48000.0)));
  mono.erase(mono.begin() + 60000, mono.begin() + 60007);
  for (float v : mono) {
    r.samples.push_back(v);
    r.samples.push_back(v);
  }
  for (std::int64_t first = 0; first < static_cast<std::int64_t>(mono.size()); first += period)
    r.periods.emplace_back(first, sourceStart - std::chrono::milliseconds(20) +
                                      std::chrono::microseconds(first * 1000000 / 48000));
  const ToneSource tone{1000, -6};
  const DeviceSummary s = Summarize(r, sourceStart, &tone);
  EXPECT_EQ(s.frames, static_cast<std::int64_t>(mono.size()));
  ASSERT_TRUE(s.latencyMs && s.frequencyErrorPpm && s.levelDbfs && s.glitches);
  // The tone crosses half amplitude 1/12 of a period (0.083 ms) after it starts.
  EXPECT_NEAR(*s.latencyMs, 30.083, 0.05);
  // A 7-frame jump halfway through 2 s tilts the crossing regression by about 170 ppm.
  EXPECT_NEAR(*s.frequencyErrorPpm, 0, 300);
  EXPECT_NEAR(*s.levelDbfs, -6, 0.05);
  EXPECT_EQ(*s.glitches, 1u);

  EXPECT_FALSE(Summarize(r, std::nullopt, &tone).latencyMs);  // no tone was ever started
}

}  // namespace
}  // namespace halvern::route
