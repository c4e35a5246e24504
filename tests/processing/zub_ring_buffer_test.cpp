#include "processing/zub_ring_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "base/zub_log.h"
#include "base/zub_log_modules.h"
#include "support/debug_capture.h"

namespace halvern {
namespace {

std::vector<std::uint8_t> Sequence(int count, int first = 0) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

std::vector<std::uint8_t> ReadAll(CZubRingBuffer& ring, int length) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  out.resize(static_cast<std::size_t>(ring.Read(out.data(), length)));
  return out;
}

// The ring's overflow warnings among the captured debugger output.
std::vector<std::string> Warnings(const testing::DebugCapture& capture) {
  std::vector<std::string> found;
  for (const auto& line : capture.Lines())
    if (line.find("CZubRingBuffer::Write") != std::string::npos) found.push_back(line);
  return found;
}

// Makes exactly one overflow: from empty, two writes of more than half the capacity.
void Overflow(CZubRingBuffer& ring, int capacity) {
  std::vector<std::uint8_t> drain(static_cast<std::size_t>(capacity));
  ring.Read(drain.data(), capacity);
  const auto block = Sequence(capacity / 2 + 1);
  ring.Write(block.data(), capacity / 2 + 1);
  ring.Write(block.data(), capacity / 2 + 1);
}

TEST(RingBuffer, WithoutStorageNothingMoves) {
  CZubRingBuffer ring("Test");
  const auto bytes = Sequence(4);
  std::uint8_t out[4] = {};
  EXPECT_EQ(ring.Write(bytes.data(), 4), 0);
  EXPECT_EQ(ring.Read(out, 4), 0);
  EXPECT_FALSE(ring.Create(0));
  EXPECT_EQ(ring.GetCapacity(), 0);
  ASSERT_TRUE(ring.Create(8));
  EXPECT_EQ(ring.Write(nullptr, 4), 0);
  EXPECT_EQ(ring.Read(nullptr, 4), 0);
  EXPECT_EQ(ring.Write(bytes.data(), -3), 0);
  EXPECT_EQ(ring.GetAvailable(), 0);
}

TEST(RingBuffer, WrapsAroundByteExact) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(10));
  const auto first = Sequence(7);
  const auto second = Sequence(6, 100);
  ASSERT_EQ(ring.Write(first.data(), 7), 7);
  EXPECT_EQ(ReadAll(ring, 5), Sequence(5));
  // Ends at 3 after wrapping; the reader at 5 is not passed, so nothing is dropped.
  ASSERT_EQ(ring.Write(second.data(), 6), 6);
  EXPECT_EQ(ring.GetAvailable(), 8);
  std::vector<std::uint8_t> expected = {5, 6};
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(ReadAll(ring, 20), expected);
  EXPECT_EQ(ring.GetAvailable(), 0);
}

TEST(RingBuffer, WriteAndReadEndingExactlyAtCapacityReturnToZero) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(8));
  const auto bytes = Sequence(8);
  ASSERT_EQ(ring.Write(bytes.data(), 8), 8);
  EXPECT_EQ(ReadAll(ring, 8), bytes);
  // Both positions are back at 0: the next write and read start at the first byte again.
  const auto more = Sequence(3, 50);
  ring.Write(more.data(), 3);
  EXPECT_EQ(ReadAll(ring, 3), more);
}

TEST(RingBuffer, ReadOfZeroOrFromEmptyChangesNothing) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(8));
  std::uint8_t out[8] = {};
  EXPECT_EQ(ring.Read(out, 8), 0);
  const auto bytes = Sequence(4);
  ring.Write(bytes.data(), 4);
  EXPECT_EQ(ring.Read(out, 0), 0);
  EXPECT_EQ(ring.GetAvailable(), 4);
  EXPECT_EQ(ReadAll(ring, 2), Sequence(2));
  EXPECT_EQ(ReadAll(ring, 9), Sequence(2, 2));
}

TEST(RingBuffer, OversizeWriteIntoEmptyKeepsLastCapacityBytesWithoutOverflow) {
  testing::DebugCapture capture;
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(8));
  const auto head = Sequence(3);
  ring.Write(head.data(), 3);
  ReadAll(ring, 3);  // both positions at 3, empty
  const auto block = Sequence(20);
  EXPECT_EQ(ring.Write(block.data(), 20), 8);
  EXPECT_EQ(ring.GetAvailable(), 8);
  EXPECT_EQ(ReadAll(ring, 8), Sequence(8, 12));
  EXPECT_TRUE(Warnings(capture).empty());
}

TEST(RingBuffer, OverflowKeepsNewestHalf) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(10));
  const auto first = Sequence(6);
  const auto second = Sequence(6, 100);
  ring.Write(first.data(), 6);
  EXPECT_EQ(ring.Write(second.data(), 6), 6);  // a full ring is not a short write
  EXPECT_EQ(ring.GetAvailable(), 5);
  EXPECT_EQ(ReadAll(ring, 10), Sequence(5, 101));
}

TEST(RingBuffer, OverflowBeforeTheEndKeepsNewestHalf) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(10));
  const auto first = Sequence(5);
  ring.Write(first.data(), 5);
  ReadAll(ring, 3);
  const auto second = Sequence(8, 40);
  ring.Write(second.data(), 8);  // fills the ring exactly: both positions at 3
  EXPECT_EQ(ring.GetAvailable(), 10);
  const auto third = Sequence(2, 60);
  EXPECT_EQ(ring.Write(third.data(), 2), 2);  // 3..4, over the unread bytes at the reader
  EXPECT_EQ(ring.GetAvailable(), 5);
  EXPECT_EQ(ReadAll(ring, 10), (std::vector<std::uint8_t>{45, 46, 47, 60, 61}));
}

TEST(RingBuffer, ReadPositionWrapsToZeroNotCapacity) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(1000));
  const auto block = Sequence(900);
  ring.Write(block.data(), 600);
  ReadAll(ring, 100);
  ring.Write(block.data(), 900);  // write position ends at 500 and passes the reader at 100
  EXPECT_EQ(ring.GetAvailable(), 500);
  // The read position is 0: the next read returns the bytes stored at 0..499, the last 500 written.
  const auto out = ReadAll(ring, 500);
  ASSERT_EQ(out.size(), 500u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), block.begin() + 400));
}

TEST(RingBuffer, OverflowWarningsOnFirstAndThirtyFirst) {
  testing::DebugCapture capture;
  CZubRingBuffer ring("CVxAudioCaptureSocket");
  ASSERT_TRUE(ring.Create(100));
  for (int i = 0; i < 30; ++i) Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 2u);
  EXPECT_NE(Warnings(capture)[0].find("wrn"), std::string::npos);
  EXPECT_NE(Warnings(capture)[0].find("CZubRingBuffer::Write(): "), std::string::npos);
  EXPECT_NE(Warnings(capture)[0].find("<CVxAudioCaptureSocket> BUFFER OVERWRITE  <LOGCOUNT: 1>\n"),
            std::string::npos);
  EXPECT_NE(
      Warnings(capture)[1].find(
          "<CVxAudioCaptureSocket> WARNING: Discarded half buffer on overflow <LOGCOUNT: 1>\n"),
      std::string::npos);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 4u);
  EXPECT_NE(Warnings(capture)[2].find("BUFFER OVERWRITE  <LOGCOUNT: 31>"), std::string::npos);
  EXPECT_NE(Warnings(capture)[3].find("overflow <LOGCOUNT: 31>"), std::string::npos);
}

TEST(RingBuffer, ResetRestartsTheWarningCountAndEmpties) {
  testing::DebugCapture capture;
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(100));
  Overflow(ring, 100);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 2u);
  ring.Reset();
  EXPECT_EQ(ring.GetAvailable(), 0);
  EXPECT_EQ(ring.GetCapacity(), 100);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 4u);
  EXPECT_NE(Warnings(capture)[2].find("<LOGCOUNT: 1>"), std::string::npos);
}

TEST(RingBuffer, WarningsCountOnWhileTheLevelIsOff) {
  testing::DebugCapture capture;
  auto& entry = ZubLogModuleTable().entries[g_ZubRingBufferLog.index];
  const std::uint32_t saved = entry.enabledMask;
  entry.enabledMask &= ~(1u << g_ZubRingBufferLog.levelWrn);
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(100));
  for (int i = 0; i < 30; ++i) Overflow(ring, 100);
  EXPECT_TRUE(Warnings(capture).empty());
  entry.enabledMask = saved;
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 2u);
  EXPECT_NE(Warnings(capture)[0].find("<LOGCOUNT: 31>"), std::string::npos);
}

TEST(RingBuffer, RecreateDiscardsContent) {
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(8));
  const auto bytes = Sequence(5);
  ring.Write(bytes.data(), 5);
  ASSERT_TRUE(ring.Create(16));
  EXPECT_EQ(ring.GetAvailable(), 0);
  EXPECT_EQ(ring.GetCapacity(), 16);
  ring.Destroy();
  EXPECT_EQ(ring.GetCapacity(), 0);
  EXPECT_EQ(ring.Write(bytes.data(), 5), 0);
}

// A writer pushes numbered frames while a reader pulls larger blocks: every read returns a
// contiguous run of the stream, runs only move forward, and the last frame written arrives.
TEST(RingBuffer, WriterAndReaderThreadsKeepTheStreamInOrder) {
  constexpr std::uint32_t kFrames = 200000;
  constexpr int kWritePacket = 37;
  constexpr int kReadBlock = 61;
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(4096));
  std::atomic<bool> writerDone{false};
  std::thread writer([&] {
    std::uint32_t packet[kWritePacket];
    for (std::uint32_t next = 0; next < kFrames;) {
      int n = 0;
      for (; n < kWritePacket && next < kFrames; ++n) packet[n] = next++;
      ring.Write(packet, n * 4);
      std::this_thread::yield();
    }
    writerDone = true;
  });

  std::int64_t last = -1;
  std::uint64_t received = 0;
  bool ordered = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::uint32_t block[kReadBlock];
  while (last + 1 < kFrames && std::chrono::steady_clock::now() < deadline) {
    const int bytes = ring.Read(block, kReadBlock * 4);
    ASSERT_EQ(bytes % 4, 0);
    for (int i = 0; i < bytes / 4; ++i) {
      if (i > 0 && block[i] != block[i - 1] + 1) ordered = false;
      if (static_cast<std::int64_t>(block[i]) <= last) ordered = false;
      last = block[i];
    }
    received += static_cast<std::uint64_t>(bytes / 4);
    if (bytes == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_TRUE(writerDone);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(last, static_cast<std::int64_t>(kFrames) - 1);
  EXPECT_GT(received, 0u);
}

}  // namespace
}  // namespace halvern
