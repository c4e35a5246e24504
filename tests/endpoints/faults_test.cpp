// What the streaming threads do when the devices under them fail: invalidated in mid-stream, or
// refusing a buffer.
#if !defined(_WIN32)

#include <ctime>
#include <functional>

#include "endpoints/endpoint_fixture.h"

namespace halvern::testing {
namespace {

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
  const CInvalidation cases[] = {
      {"render removed", false,
       [](const std::u16string& id) { return simaudio::RemoveEndpoint(id); }},
      {"render unplugged", false,
       [](const std::u16string& id) {
         return simaudio::SetEndpointState(id, DEVICE_STATE_UNPLUGGED);
       }},
      {"render format changed", false,
       [](const std::u16string& id) {
         return simaudio::SetDeviceFormat(id, simaudio::MakeFloatFormat(44100, 2));
       }},
      {"capture removed", true,
       [](const std::u16string& id) { return simaudio::RemoveEndpoint(id); }},
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

TEST_F(Faults, RefusedRenderBufferDropsABlockAndAFailedReleaseEndsTheRenderThread) {
  CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, 16));
  ASSERT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.1); }));
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

TEST_F(Faults, RefusedCaptureBufferSkipsThatPacket) {
  CRoute route = StartRoute(simaudio::MakePcmFormat(48000, 2, 16));
  ASSERT_EQ(simaudio::InjectFault(kCardId, "IAudioCaptureClient::GetBuffer", E_FAIL, 3), S_OK);
  EXPECT_TRUE(
      WaitForLine("CAudioCapturer::CaptureThread() -Unable to get capture buffer: 80004005"));
  EXPECT_TRUE(WaitUntil([&] { return HasTone(*route.sink, 0.2); }));
  EXPECT_EQ(simaudio::FaultsFired(kCardId, "IAudioCaptureClient::GetBuffer"), 3);
  EXPECT_EQ(route.renderer->Stop(), S_OK);
  EXPECT_EQ(route.capturer->Stop(), S_OK);
}

}  // namespace
}  // namespace halvern::testing

#endif
