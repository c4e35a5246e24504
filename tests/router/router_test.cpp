#if !defined(_WIN32)

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "router/router_fixture.h"
#include "support/debug_capture.h"

namespace halvern::testing {
namespace {

std::atomic<int> g_Events{0};
void KOVRA_CALL CountingDelegate(std::int32_t, void*) { ++g_Events; }

// Without the card the capturer looks 60 times (tries 0 to 59) and gives up with 201; the test's
// pause between looks is zero instead of a second.
TEST_F(RouterTest, AbsentCardIsLookedForSixtyTimes) {
  simaudio::RemoveEndpoint(simaudio::kHalvernCaptureId);
  DebugCapture log;
  m_App->Initialize(W(u"/tmp/halvern_router_test.log"));
  m_App->SetCaptureLookupPause(0);
  EXPECT_EQ(m_App->StartCapturer(0), ResultCaptureDevice);
  int waits = 0;
  bool gaveUp = false;
  for (const std::string& line : log.Lines()) {
    char expected[96];
    std::snprintf(expected, sizeof expected, "come up (%d tries)", waits);
    if (line.find(expected) != std::string::npos) ++waits;
    gaveUp = gaveUp || line.find("Opening virtual audio device failed") != std::string::npos;
  }
  EXPECT_EQ(waits, CHalvernVADApiApp::kCaptureLookups);
  EXPECT_TRUE(gaveUp);
}

// A render endpoint left attached by a failed start is not attached a second time, and one that is
// removed while routing runs stops and is freed, while the others play on.
TEST_F(RouterTest, RestartAttachesOnceAndRemovalFreesWhilePlaying) {
  CAudioRouter& router = m_App->Router();
  ASSERT_EQ(m_App->StartCapturer(0), ResultOk);
  ASSERT_EQ(m_App->EnableRouting(false, false), ResultOk);
  ASSERT_EQ(m_App->AddDevice(W(simaudio::kSpeakersId), 0), ResultOk);
  ASSERT_EQ(m_App->AddDevice(W(simaudio::kHeadsetRenderId), 0), ResultOk);
  ASSERT_EQ(simaudio::InjectFault(simaudio::kHeadsetRenderId, "IAudioClient::Start",
                                  AUDCLNT_E_DEVICE_IN_USE, 1),
            S_OK);
  EXPECT_EQ(m_App->EnableRouting(true, false), ResultRouter);
  EXPECT_FALSE(router.IsRunning());
  EXPECT_EQ(m_App->EnableRouting(true, false), ResultOk);

  // Each packet reaches the speakers once: twice would overfill their ring and show as overflow
  // of frames rendered against frames captured.
  simaudio::EndpointCounters before{}, after{};
  simaudio::GetCounters(simaudio::kSpeakersId, &before);
  ASSERT_TRUE(WaitUntil([&] {
    simaudio::GetCounters(simaudio::kSpeakersId, &after);
    return after.framesRendered > before.framesRendered + 48000;
  }));

  EXPECT_EQ(m_App->RemoveDevice(W(simaudio::kHeadsetRenderId)), ResultOk);
  EXPECT_EQ(Streams(simaudio::kHeadsetRenderId), 0u);
  EXPECT_EQ(router.GetWASAPIAudioDevice(W(simaudio::kHeadsetRenderId)), nullptr);
  simaudio::GetCounters(simaudio::kSpeakersId, &before);
  EXPECT_TRUE(WaitUntil([&] {
    simaudio::GetCounters(simaudio::kSpeakersId, &after);
    return after.framesRendered > before.framesRendered + 4800;
  }));
  EXPECT_EQ(m_App->EnableRouting(false, true), ResultOk);
  EXPECT_EQ(Streams(simaudio::kSpeakersId), 0u);
}

// Hot-plug and default changes storm the notification thread while the host adds, starts, shuts
// down and removes in a loop: no deadlock (the test's time limit ends a hung run), nothing left
// behind.
TEST_F(RouterTest, NotificationStormAgainstHostCalls) {
  m_App->Initialize(W(u"/tmp/halvern_router_test.log"));
  m_App->SetDelegate(CountingDelegate);
  ASSERT_EQ(m_App->StartCapturer(0), ResultOk);
  ASSERT_EQ(m_App->EnableRouting(false, false), ResultOk);

  std::atomic<bool> storming{true};
  std::thread storm([&] {
    for (int i = 0; storming; ++i) {
      simaudio::SetEndpointState(simaudio::kHeadsetRenderId,
                                 i % 2 == 0 ? DEVICE_STATE_UNPLUGGED : DEVICE_STATE_ACTIVE);
      simaudio::SetDefaultEndpoint(eRender, i % 3 == 0 ? eConsole : eCommunications,
                                   i % 2 == 0 ? simaudio::kSpeakersId : simaudio::kHeadsetRenderId);
      simaudio::SetDeviceFormat(simaudio::kHeadsetCaptureId,
                                simaudio::MakePcmFormat(i % 2 == 0 ? 16000 : 48000, 1, 16));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int rounds = 0;
  while (std::chrono::steady_clock::now() < end) {
    m_App->AddDevice(W(simaudio::kSpeakersId), 0);
    m_App->AddDevice(W(simaudio::kHeadsetRenderId), 0);
    m_App->EnableRouting(true, false);
    if (rounds % 2 == 0) m_App->RemoveDevice(W(simaudio::kHeadsetRenderId));
    m_App->EnableRouting(false, false);
    ++rounds;
  }
  storming = false;
  storm.join();
  EXPECT_TRUE(simaudio::WaitForNotifications(10000));
  EXPECT_TRUE(m_App->Router().WaitForNotificationWork(10000));
  EXPECT_GT(g_Events.load(), 0);
  EXPECT_GT(rounds, 1);
  EXPECT_EQ(Streams(simaudio::kSpeakersId), 0u);
  EXPECT_EQ(Streams(simaudio::kHeadsetRenderId), 0u);
  m_App.reset();
  EXPECT_EQ(Streams(simaudio::kHalvernCaptureId), 0u);
}

}  // namespace
}  // namespace halvern::testing

#endif
