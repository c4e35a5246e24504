// Start, Stop and Shutdown of the streaming endpoints, before and after Initialize, and with a
// render thread that waits for captured audio.
#if !defined(_WIN32)

#include "endpoints/endpoint_fixture.h"

namespace halvern::testing {
namespace {

using Lifecycle = EndpointTest;

TEST_F(Lifecycle, NothingStartsBeforeInitialize) {
  AddCard(simaudio::MakePcmFormat(48000, 2, 16));
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
}

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

// With no capture to pace it, the render thread sits in its pull for about half a second; Stop
// still ends it within its own one-second wait.
TEST_F(Lifecycle, StopEndsARenderThreadThatWaitsForCapturedAudio) {
  AddCard(simaudio::MakePcmFormat(48000, 2, 16));
  AddSpeaker(kSpeakerId, simaudio::MakeFloatFormat(48000, 2));
  auto renderer = Open<CAudioRenderer>(kSpeakerId);
  const WAVEFORMATEXTENSIBLE capture = simaudio::MakePcmFormat(48000, 2, 16);
  ASSERT_EQ(renderer->Initialize(true, 1, 40, &capture.Format), S_OK);
  ASSERT_EQ(renderer->Start(), S_OK);
  simaudio::EndpointCounters counters;
  ASSERT_TRUE(WaitUntil([&] {
    simaudio::GetCounters(kSpeakerId, &counters);
    return counters.periods > 2;
  }));
  EXPECT_EQ(renderer->Stop(), S_OK);
  EXPECT_TRUE(StreamingThreads().empty());
  EXPECT_EQ(renderer->Shutdown(), S_OK);
}

}  // namespace
}  // namespace halvern::testing

#endif
