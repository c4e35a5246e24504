// Start, Stop and Shutdown of the streaming endpoints, before and after Initialize and with a
// render thread that waits for captured audio; what the threads do when the devices under them
// fail; and the capture endpoint's meters and gains.
#if !defined(_WIN32)

#include <algorithm>
#include <ctime>
#include <functional>

#include "endpoints/endpoint_fixture.h"

namespace halvern::testing {
namespace {

using Lifecycle = EndpointTest;

TEST_F(Lifecycle, SecondStartKeepsTheOneThreadAndStopEndsIt) {
  CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, 16));
  EXPECT_EQ(route.capturer->Start(), S_OK);
  EXPECT_EQ(route.renderer->Start(), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return StreamingThreads().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.1); }));
  EXPECT_EQ(StreamingThreads().size(), 2u);

  EXPECT_EQ(route.renderer->Stop(), S_OK);
  EXPECT_EQ(route.capturer->Stop(), S_OK);
  EXPECT_TRUE(StreamingThreads().empty());
  EXPECT_EQ(route.renderer->Stop(), S_OK);
  // Stopped endpoints start again.
  EXPECT_EQ(route.capturer->Start(), S_OK);
  EXPECT_EQ(route.renderer->Start(), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return StreamingThreads().size() == 2; }));
  route.capturer->RemoveRenderer(route.renderer.Get());
  EXPECT_EQ(route.renderer->Shutdown(), S_OK);
  EXPECT_EQ(route.capturer->Shutdown(), S_OK);
  EXPECT_TRUE(StreamingThreads().empty());
}

// Nothing starts before Initialize. A started renderer's buffer is primed; with no capture to pace
// it, the render thread sits in its pull for about half a second, and Stop still ends it within
// its own one-second wait.
TEST_F(Lifecycle, NothingStartsBeforeInitializeAPrimedRendererWaitsForCaptureAndStopEndsIt) {
  const WAVEFORMATEXTENSIBLE capture = simaudio::MakePcmFormat(48000, 2, 16);
  AddCard(capture);
  AddSpeaker(kSpeakerId, simaudio::MakeFloatFormat(48000, 2));
  TEndpointPtr<CAudioWASAPIBase> endpoints[] = {
      TEndpointPtr<CAudioWASAPIBase>(Open<CAudioCapturer>(kCardId).Detach()),
      TEndpointPtr<CAudioWASAPIBase>(Open<CAudioRenderer>(kSpeakerId).Detach())};
  for (auto& endpoint : endpoints) {
    EXPECT_EQ(endpoint->Start(), E_POINTER);
    EXPECT_EQ(endpoint->Stop(), S_OK);
    EXPECT_EQ(endpoint->Shutdown(), E_FAIL);  // no event to close
  }
  EXPECT_TRUE(StreamingThreads().empty());

  auto renderer = Open<CAudioRenderer>(kSpeakerId);
  ASSERT_EQ(renderer->Initialize(true, 1, 40, &capture.Format), S_OK);
  ASSERT_EQ(renderer->Start(), S_OK);
  simaudio::EndpointCounters counters;
  ASSERT_TRUE(WaitUntil([&] {
    simaudio::GetCounters(kSpeakerId, &counters);
    return counters.periods > 2;
  }));
  // Primed with 35 ms of silence (half of the 50 ms buffer and a 20 ms block), the device plays
  // three whole periods before it runs dry.
  EXPECT_LE(counters.underruns, counters.periods - std::min<UINT64>(counters.periods, 3));
  EXPECT_EQ(renderer->Stop(), S_OK);
  EXPECT_TRUE(StreamingThreads().empty());
  EXPECT_EQ(renderer->Shutdown(), S_OK);
}

using Faults = EndpointTest;

struct CInvalidation {
  const char* name;
  bool captureSide;
  std::function<HRESULT(const std::u16string&)> apply;
  HRESULT reason = AUDCLNT_E_DEVICE_INVALIDATED;  // what the broken client's Stop answers
};

// Windows invalidates the streams of a device that goes away or changes format; the threads then
// get no more events and must neither crash nor spin, and the endpoints still stop and shut down.
TEST_F(Faults, InvalidatedDeviceLeavesTheThreadsIdleAndStopsCleanly) {
  const auto remove = [](const std::u16string& id) { return simaudio::RemoveEndpoint(id); };
  const CInvalidation cases[] = {
      {"render removed", false, remove},
      {"render unplugged", false,
       [](const std::u16string& id) {
         return simaudio::SetEndpointState(id, DEVICE_STATE_UNPLUGGED);
       }},
      {"render format changed", false,
       [](const std::u16string& id) {
         return simaudio::SetDeviceFormat(id, simaudio::MakeFloatFormat(44100, 2));
       }},
      {"capture removed", true, remove},
      {"audio service stopped", false,
       [](const std::u16string& id) {
         return simaudio::InvalidateStreams(id, AUDCLNT_E_SERVICE_NOT_RUNNING);
       },
       AUDCLNT_E_SERVICE_NOT_RUNNING},
  };
  for (const CInvalidation& c : cases) {
    SCOPED_TRACE(c.name);
    simaudio::Reset();
    CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, 16));
    ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.1); }));
    ASSERT_EQ(c.apply(c.captureSide ? kCardId : kSpeakerId), S_OK);
    // Long enough for a starved render pull to give up and for a spinning loop to show.
    const std::clock_t cpuBefore = std::clock();
    const auto wallBefore = Clock::now();
    WaitUntil([] { return false; }, std::chrono::milliseconds(700));
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.5 * wall);
    EXPECT_EQ(StreamingThreads().size(), 2u);

    EXPECT_EQ(route.renderer->Stop(), c.captureSide ? S_OK : c.reason);
    EXPECT_EQ(route.capturer->Stop(), c.captureSide ? c.reason : S_OK);
    EXPECT_TRUE(StreamingThreads().empty());
    route.capturer->RemoveRenderer(route.renderer.Get());
    EXPECT_EQ(route.renderer->Shutdown(), S_OK);
    EXPECT_EQ(route.capturer->Shutdown(), S_OK);
  }
}

// A refused buffer costs one packet; a failed release ends the render thread.
TEST_F(Faults, RefusedBuffersSkipAPacketAndAFailedReleaseEndsTheRenderThread) {
  CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, 16));
  ASSERT_EQ(simaudio::InjectFault(kCardId, "IAudioCaptureClient::GetBuffer", E_FAIL, 3), S_OK);
  EXPECT_TRUE(
      WaitForLine("CAudioCapturer::CaptureThread() -Unable to get capture buffer: 80004005"));
  ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.2); }));
  EXPECT_EQ(simaudio::FaultsFired(kCardId, "IAudioCaptureClient::GetBuffer"), 3);

  ASSERT_EQ(simaudio::InjectFault(kSpeakerId, "IAudioRenderClient::GetBuffer", E_FAIL, 3), S_OK);
  const std::size_t before = route.sink->Frames();
  ASSERT_TRUE(WaitUntil([&] { return route.sink->Frames() > before + 48000 / 5; }));
  EXPECT_EQ(simaudio::FaultsFired(kSpeakerId, "IAudioRenderClient::GetBuffer"), 3);
  EXPECT_EQ(StreamingThreads().size(), 2u);

  ASSERT_EQ(simaudio::InjectFault(kSpeakerId, "IAudioRenderClient::ReleaseBuffer", E_FAIL, 1),
            S_OK);
  EXPECT_TRUE(
      WaitForLine("CAudioRenderer::RenderThread() - Unable to release render buffer: 80004005"));
  EXPECT_TRUE(WaitUntil([&] { return StreamingThreads().size() == 1; }));
  // The started flag outlives the thread until Stop.
  EXPECT_EQ(route.renderer->Start(), S_OK);
  EXPECT_EQ(StreamingThreads().size(), 1u);
  EXPECT_EQ(route.renderer->Stop(), S_OK);
  EXPECT_EQ(route.capturer->Stop(), S_OK);
}

using Metering = EndpointTest;

// The meter works on 8-, 16- and 32-bit packets; a 24-bit card still plays, unmetered (the peaks
// are left as they were). At 16 bits the peaks are those of amplitudes 0.25 and 0.125.
TEST_F(Metering, PeaksFollowTheTonePlayedAtSixteenBitsAndStayUntouchedAtTwentyFour) {
  const struct {
    WORD bits;
    float left, right;
  } cases[] = {{16, -12.04f, -18.06f}, {24, 123.0f, 123.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    simaudio::Reset();
    CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, c.bits));
    ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.2); }));
    float peaks[2] = {123.0f, 123.0f};
    EXPECT_EQ(route.capturer->GetChannelPeaks(peaks), S_OK);
    EXPECT_NEAR(peaks[0], c.left, 0.5);
    EXPECT_NEAR(peaks[1], c.right, 0.5);
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
  EXPECT_EQ(std::vector<float>(gains, gains + 2), volume.channelDb);
}

}  // namespace
}  // namespace halvern::testing

#endif
