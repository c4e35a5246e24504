// Peak meters and gains of the capture endpoint.
#if !defined(_WIN32)

#include "endpoints/endpoint_fixture.h"

namespace halvern::testing {
namespace {

using Metering = EndpointTest;

struct CMeterCase {
  WORD bits;
  bool metered;
};

// The meter works on 8-, 16- and 32-bit packets; a 24-bit card still plays, unmetered.
TEST_F(Metering, PeaksFollowTheTonePlayedAtSixteenBitsAndStayUntouchedAtTwentyFour) {
  const CMeterCase cases[] = {{16, true}, {24, false}};
  for (const CMeterCase& c : cases) {
    SCOPED_TRACE(c.bits);
    simaudio::Reset();
    CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, c.bits));
    ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.2); }));
    float peaks[2] = {123.0f, 123.0f};
    EXPECT_EQ(route.capturer->GetChannelPeaks(peaks), S_OK);
    if (c.metered) {
      EXPECT_NEAR(peaks[0], -12.04, 0.5);  // amplitude 0.25
      EXPECT_NEAR(peaks[1], -18.06, 0.5);  // amplitude 0.125
    } else {
      EXPECT_EQ(peaks[0], 123.0f);
      EXPECT_EQ(peaks[1], 123.0f);
    }
  }
}

// The router opens every endpoint in shared mode: the gains are the device's channel volume.
TEST_F(Metering, SharedModeGainsAreTheCaptureDevicesChannelVolume) {
  AddCard(simaudio::MakePcmFormat(48000, 2, 16));
  auto capturer = Open<CAudioCapturer>(kCardId);
  ASSERT_EQ(capturer->Initialize(true, 1, 30, nullptr), S_OK);
  const float set[2] = {-10.0f, -200.0f};
  EXPECT_EQ(capturer->SetChannelGains(set), S_OK);
  simaudio::VolumeState volume;
  ASSERT_EQ(simaudio::GetVolume(kCardId, &volume), S_OK);
  EXPECT_EQ(volume.channelDb, (std::vector<float>{-10.0f, -96.0f}));  // clamped to the range
  float gains[2] = {};
  EXPECT_EQ(capturer->GetChannelGains(gains), S_OK);
  EXPECT_EQ(gains[0], -10.0f);
  EXPECT_EQ(gains[1], -96.0f);
}

}  // namespace
}  // namespace halvern::testing

#endif
