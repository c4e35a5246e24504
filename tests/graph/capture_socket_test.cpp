#include "graph/capture_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "graph/capture_tag.h"
#include "graph/data_storage.h"
#include "graph/frames.h"
#include "samples/sample_format.h"
#include "support/allocation_counter.h"
#include "trace/trace_test_support.h"

namespace halvern {
namespace {

using testing::TraceTest;

constexpr std::int32_t kRate = 48000;
constexpr std::int32_t kPull = kRate / 50;       // 20 ms
constexpr std::int32_t kRingFrames = 5 * kPull;  // 100 ms

CSoundTraits StereoShort() { return CSoundTraits(kFormatInt16, 2, kRate); }

// Stereo 16-bit frames that carry their own 32-bit sequence number.
std::vector<std::uint32_t> Frames(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> frames(count);
  for (std::uint32_t i = 0; i < count; ++i) frames[i] = first + i;
  return frames;
}

const CVxAudioCaptureTag* OnlyTag(const CTagList& tags) {
  if (tags.Count() != 1) return nullptr;
  return dynamic_cast<const CVxAudioCaptureTag*>(tags.Head()->tag.Get());
}

class CaptureSocket : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    Start(kTraceToDebugger, kTraceLevelWarning, kTracePrefixNone);
  }

  std::vector<std::string> WriteWarnings() {
    std::vector<std::string> found;
    for (const auto& line : m_Debug.Lines())
      if (line.find("CVxAudioCaptureSocket::Write() - only") != std::string::npos)
        found.push_back(line);
    return found;
  }

  TCountedRef<CVxAudioCaptureSocket> m_Socket =
      new CVxAudioCaptureSocket(StereoShort(), kRingFrames);
  CDataStorage m_Storage{4, kPull};
  CTagList m_Tags;
};

TEST_F(CaptureSocket, IsALiveStreamOfTheCaptureFormat) {
  EXPECT_EQ(m_Socket->frameSize, 4);
  EXPECT_EQ(m_Socket->GetLength(), kUnspecifiedFrames);
}

TEST_F(CaptureSocket, RingHoldsTheRequestedFramesAndAShortWriteWarnsOnce) {
  const auto frames = Frames(0, kRingFrames + 1);
  std::int64_t count = 100;
  EXPECT_EQ(m_Socket->Write(frames.data(), count), 100);
  EXPECT_TRUE(WriteWarnings().empty());
  m_Socket->Reset();
  // 4801 frames into a ring of 5 x 960 frames (19200 bytes): only the last 4800 are kept.
  count = kRingFrames + 1;
  EXPECT_EQ(m_Socket->Write(frames.data(), count), kRingFrames);
  EXPECT_EQ(m_Socket->GetAvailableFrames(), kRingFrames);
  const auto warnings = WriteWarnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("WRN "), std::string::npos);
  EXPECT_NE(warnings[0].find("only 19200 of 19204 bytes written"), std::string::npos);
  ASSERT_EQ(m_Socket->Pull(m_Storage.block, 1, kUnspecifiedFrames, m_Tags), 1);
  EXPECT_EQ(reinterpret_cast<std::uint32_t*>(m_Storage.block.data)[0], 1u);
}

TEST_F(CaptureSocket, PullWithEnoughDataReadsAndTagsTheCapturedFrames) {
  const auto frames = Frames(0, 1000);
  std::int64_t count = 1000;
  m_Socket->Write(frames.data(), count);
  m_Tags.Insert(new CVxAudioCaptureTag(77), 5);  // the caller's old tags are replaced
  ASSERT_EQ(m_Socket->Pull(m_Storage.block, kPull, 12345, m_Tags), kPull);
  EXPECT_EQ(std::memcmp(m_Storage.block.data, frames.data(), kPull * 4), 0);
  const auto* tag = OnlyTag(m_Tags);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->GetCapturedFrames(), kPull);
  EXPECT_EQ(m_Tags.Head()->position, 12345);
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 40);
}

TEST_F(CaptureSocket, PullWithoutEnoughDataReportsTheWholeRequestUntouched) {
  const auto frames = Frames(0, 900);
  std::int64_t count = 900;
  m_Socket->Write(frames.data(), count);
  std::memset(m_Storage.block.data, 0xAB, kPull * 4);
  ASSERT_EQ(m_Socket->Pull(m_Storage.block, kPull, kUnspecifiedFrames, m_Tags), kPull);
  for (int i = 0; i < kPull * 4; ++i) ASSERT_EQ(m_Storage.block.data[i], 0xAB);
  const auto* tag = OnlyTag(m_Tags);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->GetCapturedFrames(), 0);
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 900);
}

TEST_F(CaptureSocket, PullWaitsForAWriterThatIsStillDelivering) {
  std::thread writer([this] {
    const auto frames = Frames(0, kPull);
    for (int packet = 0; packet < 10; ++packet) {
      std::int64_t count = kPull / 10;
      m_Socket->Write(frames.data() + packet * (kPull / 10), count);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a capture pace, not a sync
    }
  });
  const std::int64_t got = m_Socket->Pull(m_Storage.block, kPull, kUnspecifiedFrames, m_Tags);
  writer.join();
  EXPECT_EQ(got, kPull);
  const auto* tag = OnlyTag(m_Tags);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->GetCapturedFrames(), kPull);
  EXPECT_EQ(reinterpret_cast<std::uint32_t*>(m_Storage.block.data)[kPull - 1],
            static_cast<std::uint32_t>(kPull - 1));
}

TEST_F(CaptureSocket, MismatchedBlocksThrowBeforeReading) {
  const auto frames = Frames(0, 1000);
  std::int64_t count = 1000;
  m_Socket->Write(frames.data(), count);
  CDataBlock references{{4, 0}, m_Storage.block.data};
  EXPECT_THROW(m_Socket->Pull(references, kPull, kUnspecifiedFrames, m_Tags), int);
  CDataBlock wider{{8, 1}, m_Storage.block.data};
  try {
    m_Socket->Pull(wider, kPull, kUnspecifiedFrames, m_Tags);
    FAIL() << "no throw";
  } catch (int code) {
    EXPECT_EQ(code, -50);
  }
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 1000);
}

TEST_F(CaptureSocket, UnknownFormatsStoreAndDeliverNothing) {
  TCountedRef<CVxAudioCaptureSocket> unknown =
      new CVxAudioCaptureSocket(CSoundTraits(0, 2, kRate), 10);
  std::uint32_t data[4] = {};
  std::int64_t count = 4;
  EXPECT_EQ(unknown->Write(data, count), 0);
  CDataBlock block{{0, 1}, reinterpret_cast<std::uint8_t*>(data)};
  EXPECT_EQ(unknown->Pull(block, 4, kUnspecifiedFrames, m_Tags), 0);
  EXPECT_EQ(m_Tags.Count(), 0);
}

TEST_F(CaptureSocket, ResetDropsEverything) {
  const auto frames = Frames(0, 500);
  std::int64_t count = 500;
  m_Socket->Write(frames.data(), count);
  m_Socket->Reset();
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 0);
}

// The capture thread writes and the render thread pulls every period: once warmed up, neither
// allocates (tags and tag-list entries are recycled per thread).
TEST_F(CaptureSocket, SteadyWritesAndPullsDoNotAllocate) {
  const auto frames = Frames(0, kPull);
  auto period = [&] {
    std::int64_t count = kPull;
    m_Socket->Write(frames.data(), count);
    m_Socket->Pull(m_Storage.block, kPull, kUnspecifiedFrames, m_Tags);
  };
  for (int i = 0; i < 4; ++i) period();
  const std::uint64_t before = testing::ThreadAllocations();
  for (int i = 0; i < 100; ++i) period();
  EXPECT_EQ(testing::ThreadAllocations(), before);
}

// The render chain of a 44.1 kHz float device over a 48 kHz 16-bit capture: after the first
// pulls have filled its caches, a 20 ms pull allocates nothing.
TEST_F(CaptureSocket, RenderChainPullsDoNotAllocateOnceWarm) {
  constexpr std::int32_t kDeviceRate = 44100;
  constexpr std::int32_t kDevicePull = kDeviceRate / 50;
  TCountedRef<CSoundPullSocket> chain =
      m_Socket->ConvertTo(CSoundTraits(kFormatFloat, 2, kDeviceRate), 0.2, kPull, 512, 1000.0);
  CDataStorage output(chain->frameSize, kDevicePull);
  const auto frames = Frames(0, kPull);
  auto period = [&] {
    std::int64_t count = kPull;
    m_Socket->Write(frames.data(), count);
    chain->Pull(output.block, kDevicePull, kUnspecifiedFrames, m_Tags);
  };
  for (int i = 0; i < 60; ++i) period();
  const std::uint64_t before = testing::ThreadAllocations();
  for (int i = 0; i < 200; ++i) period();
  EXPECT_EQ(testing::ThreadAllocations(), before);
}

// A capture thread delivering 10 ms packets in real time and a render thread pulling 20 ms
// blocks: every frame arrives once, in order, and every pull is served from real capture.
TEST_F(CaptureSocket, SteadyWriterAndTwentyMillisecondPullsKeepEveryFrameInOrder) {
  constexpr std::uint32_t kPacket = kRate / 100;
  constexpr int kPackets = 60;
  std::thread writer([this] {
    auto next = std::chrono::steady_clock::now();
    for (int packet = 0; packet < kPackets; ++packet) {
      const auto frames = Frames(packet * kPacket, kPacket);
      std::int64_t count = kPacket;
      m_Socket->Write(frames.data(), count);
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  });
  std::uint32_t expected = 0;
  bool ordered = true;
  std::int64_t captured = 0;
  for (int pull = 0; pull < kPackets / 2; ++pull) {
    const std::int64_t got = m_Socket->Pull(m_Storage.block, kPull, kUnspecifiedFrames, m_Tags);
    ASSERT_EQ(got, kPull);
    const auto* tag = OnlyTag(m_Tags);
    ASSERT_NE(tag, nullptr);
    if (tag->GetCapturedFrames() == 0) continue;  // a stall longer than half a second
    captured += tag->GetCapturedFrames();
    const auto* frames = reinterpret_cast<const std::uint32_t*>(m_Storage.block.data);
    for (int i = 0; i < kPull; ++i) ordered = ordered && frames[i] == expected++;
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(captured, static_cast<std::int64_t>(kPackets) * kPacket);
}

}  // namespace
}  // namespace halvern
