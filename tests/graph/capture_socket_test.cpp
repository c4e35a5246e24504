#include "graph/capture_socket.h"

#include <gtest/gtest.h>

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
#include "support/counting_capture_socket.h"
#include "support/wait_until.h"
#include "trace/trace_test_support.h"

namespace halvern {
namespace {

using testing::CountingCaptureSocket;

constexpr std::int32_t kRate = 48000;
constexpr std::int32_t kPull = kRate / 50;       // 20 ms
constexpr std::int32_t kRingFrames = 5 * kPull;  // 100 ms

// Stereo 16-bit frames that carry their own 32-bit sequence number.
std::vector<std::uint32_t> Frames(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> frames(count);
  for (std::uint32_t i = 0; i < count; ++i) frames[i] = first + i;
  return frames;
}

std::int64_t CapturedFrames(const CTagList& tags) {
  EXPECT_EQ(tags.Count(), 1);
  const auto* tag = dynamic_cast<const CVxAudioCaptureTag*>(tags.Head()->tag.Get());
  return tag != nullptr ? tag->GetCapturedFrames() : -1;
}

class CaptureSocket : public testing::TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    Start(kTraceToDebugger, kTraceLevelWarning, kTracePrefixNone);
  }

  std::int64_t Write(std::uint32_t first, std::uint32_t count) {
    const auto frames = Frames(first, count);
    std::int64_t n = count;
    return m_Socket->Write(frames.data(), n);
  }
  std::int64_t Pull(std::int64_t position = kUnspecifiedFrames) {
    return m_Socket->Pull(m_Storage.block, kPull, position, m_Tags);
  }
  std::uint32_t PulledFrame(int i) const {
    return reinterpret_cast<const std::uint32_t*>(m_Storage.block.data)[i];
  }

  TCountedRef<CountingCaptureSocket> m_Socket =
      new CountingCaptureSocket(CSoundTraits(kFormatInt16, 2, kRate), kRingFrames);
  CDataStorage m_Storage{4, kPull};
  CTagList m_Tags;
};

// 4801 frames into a ring of 5 x 960 frames (19200 bytes): the last 4800 are kept, with one
// warning; a pull reads and tags them, replacing the caller's old tags.
TEST_F(CaptureSocket, RingKeepsTheNewestFramesAndAPullTagsWhatItReadOrThrowsOnABadBlock) {
  EXPECT_EQ(Write(0, 100), 100);
  m_Socket->Reset();
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 0);
  EXPECT_EQ(Write(0, kRingFrames + 1), kRingFrames);
  const auto lines = m_Debug.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("WRN "), std::string::npos);
  EXPECT_NE(lines[0].find("CVxAudioCaptureSocket::Write() - only 19200 of 19204 bytes written"),
            std::string::npos);
  m_Tags.Insert(new CVxAudioCaptureTag(77), 5);
  ASSERT_EQ(Pull(12345), kPull);
  EXPECT_EQ(PulledFrame(0), 1u);
  EXPECT_EQ(PulledFrame(kPull - 1), static_cast<std::uint32_t>(kPull));
  EXPECT_EQ(CapturedFrames(m_Tags), kPull);
  EXPECT_EQ(m_Tags.Head()->position, 12345);
  EXPECT_EQ(m_Socket->waits, 0);
  // Bad blocks and unknown formats read nothing.
  EXPECT_THROW(m_Socket->Pull(CDataBlock{{4, 0}, m_Storage.block.data}, kPull, 0), int);
  EXPECT_THROW(m_Socket->Pull(CDataBlock{{8, 1}, m_Storage.block.data}, kPull, 0), int);
  EXPECT_EQ(m_Socket->GetAvailableFrames(), kRingFrames - kPull);
  TCountedRef unknown = new CVxAudioCaptureSocket(CSoundTraits(0, 2, kRate), 10);
  std::int64_t count = 4;
  EXPECT_EQ(unknown->Write(m_Storage.block.data, count), 0);
  EXPECT_EQ(unknown->Pull(CDataBlock{{0, 1}, m_Storage.block.data}, 4, 0, m_Tags), 0);
  EXPECT_EQ(m_Tags.Count(), 0);
}

TEST_F(CaptureSocket, StarvedPullWaitsAHundredStepsThenReportsTheWholeRequestUntouched) {
  Write(0, 900);
  std::memset(m_Storage.block.data, 0xAB, kPull * 4);
  ASSERT_EQ(Pull(), kPull);
  EXPECT_EQ(m_Socket->waits, CVxAudioCaptureSocket::kWaitChecks + 1);
  for (int i = 0; i < kPull * 4; ++i) ASSERT_EQ(m_Storage.block.data[i], 0xAB);
  EXPECT_EQ(CapturedFrames(m_Tags), 0);
  EXPECT_EQ(m_Socket->GetAvailableFrames(), 900);
}

// The capture thread writes and the render thread pulls every period: once warmed up, neither
// allocates, also through the render chain of a 44.1 kHz float device.
TEST_F(CaptureSocket, SteadyPeriodsDoNotAllocateOnceWarm) {
  const auto frames = Frames(0, kPull);
  auto write = [&] {
    std::int64_t count = kPull;
    m_Socket->Write(frames.data(), count);
  };
  testing::ExpectNoAllocations([&] {
    write();
    Pull();
  });
  TCountedRef<CSoundPullSocket> chain =
      m_Socket->ConvertTo(CSoundTraits(kFormatFloat, 2, 44100), RenderChainSettings(kRate));
  CDataStorage output(chain->frameSize, 882);
  testing::ExpectNoAllocations(
      [&] {
        write();
        chain->Pull(output.block, 882, kUnspecifiedFrames, m_Tags);
      },
      60, 200);
}

// A capture thread delivering 10 ms packets in real time and a render thread pulling 20 ms
// blocks: every frame arrives once and in order. Either thread may be descheduled for a long
// time: the writer waits for room instead of overrunning the ring, and the reader skips the
// pulls that found nothing, so a loaded machine only makes this slower.
TEST(CaptureSocketRealTime, SteadyWriterAndTwentyMillisecondPullsKeepEveryFrameInOrder) {
  constexpr std::uint32_t kPacket = kRate / 100;
  constexpr std::uint32_t kPackets = 60;
  TCountedRef socket = new CVxAudioCaptureSocket(CSoundTraits(kFormatInt16, 2, kRate), kRingFrames);
  std::thread writer([&socket] {
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t packet = 0; packet < kPackets; ++packet) {
      testing::WaitUntil([&] { return socket->GetAvailableFrames() + kPacket <= kRingFrames; });
      const auto frames = Frames(packet * kPacket, kPacket);
      std::int64_t count = kPacket;
      socket->Write(frames.data(), count);
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  });
  CDataStorage storage(4, kPull);
  CTagList tags;
  std::uint32_t expected = 0;
  const bool all = testing::WaitUntil(
      [&] {
        if (socket->Pull(storage.block, kPull, kUnspecifiedFrames, tags) != kPull) return true;
        if (CapturedFrames(tags) == 0) return false;  // starved: nothing was read
        const auto* frames = reinterpret_cast<const std::uint32_t*>(storage.block.data);
        for (int i = 0; i < kPull; ++i)
          if (frames[i] != expected++) return true;
        return expected == kPackets * kPacket;
      },
      std::chrono::minutes(2));
  writer.join();
  EXPECT_TRUE(all);
  EXPECT_EQ(expected, kPackets * kPacket);
}

}  // namespace
}  // namespace halvern
