#include "processing/zub_ring_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
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
  std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(first));
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
  ReadAll(ring, capacity);
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
  ASSERT_TRUE(ring.Create(8));
  EXPECT_EQ(ring.Write(nullptr, 4) + ring.Read(nullptr, 4) + ring.Write(bytes.data(), -3), 0);
  // Creating again discards the content; without storage again nothing is written.
  ring.Write(bytes.data(), 4);
  ASSERT_TRUE(ring.Create(16));
  EXPECT_EQ(ring.GetAvailable(), 0);
  ring.Destroy();
  EXPECT_EQ(ring.Write(bytes.data(), 4), 0);
}

// A write of Sequence(n, first) expecting `result` bytes written, or a read of n bytes expecting
// Sequence(result, first); then `available` bytes are left.
struct Step {
  bool write;
  int n, first, result, available;
};
constexpr bool W = true;
constexpr bool R = false;

TEST(RingBuffer, WritesAndReadsWrapAndAnOverflowKeepsTheNewestHalf) {
  const struct {
    const char* name;
    int capacity, warnings;
    std::vector<Step> steps;
  } cases[] = {
      // Ends at 3 after wrapping; the reader at 5 is not passed, so nothing is dropped.
      {"wraps",
       10,
       0,
       {{W, 7, 0, 7, 7}, {R, 5, 0, 5, 2}, {W, 6, 100, 6, 8}, {R, 2, 5, 2, 6}, {R, 20, 100, 6, 0}}},
      // Both positions are back at 0 after ending exactly at the capacity; reads of nothing.
      {"ends at capacity",
       8,
       0,
       {{R, 8, 0, 0, 0},
        {W, 8, 0, 8, 8},
        {R, 8, 0, 8, 0},
        {W, 3, 50, 3, 3},
        {R, 0, 0, 0, 3},
        {R, 2, 50, 2, 1},
        {R, 9, 52, 1, 0}}},
      // Into an empty ring the last `capacity` bytes are kept, and that is no overflow.
      {"oversize write",
       8,
       0,
       {{W, 3, 0, 3, 3}, {R, 3, 0, 3, 0}, {W, 20, 0, 8, 8}, {R, 8, 12, 8, 0}}},
      // A full ring is not a short write.
      {"overflow", 10, 2, {{W, 6, 0, 6, 6}, {W, 6, 100, 6, 5}, {R, 10, 101, 5, 0}}},
      // The last write fills 3..4, over the unread bytes at the reader.
      {"overflow at the reader",
       10,
       2,
       {{W, 5, 0, 5, 5},
        {R, 3, 0, 3, 2},
        {W, 8, 40, 8, 10},
        {W, 2, 60, 2, 5},
        {R, 3, 45, 3, 2},
        {R, 10, 60, 2, 0}}},
      // The write ends at 500 past the reader at 100: reading resumes at 0, not at the capacity.
      {"read position wraps",
       1000,
       2,
       {{W, 600, 0, 600, 600},
        {R, 100, 0, 100, 500},
        {W, 900, 0, 900, 500},
        {R, 500, 400, 500, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::DebugCapture capture;
    CZubRingBuffer ring("Test");
    ASSERT_TRUE(ring.Create(c.capacity));
    for (const Step& step : c.steps) {
      if (step.write) {
        const auto bytes = Sequence(step.n, step.first);
        EXPECT_EQ(ring.Write(bytes.data(), step.n), step.result);
      } else {
        EXPECT_EQ(ReadAll(ring, step.n), Sequence(step.result, step.first));
      }
      EXPECT_EQ(ring.GetAvailable(), step.available);
    }
    EXPECT_EQ(Warnings(capture).size(), static_cast<std::size_t>(c.warnings));
  }
}

// The first overflow and every thirtieth after it warn, counted also while the level is off; a
// reset starts the count again.
TEST(RingBuffer, OverflowWarningsOnFirstAndThirtyFirstUntilAReset) {
  testing::DebugCapture capture;
  CZubRingBuffer ring("CVxAudioCaptureSocket");
  ASSERT_TRUE(ring.Create(100));
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 2u);
  EXPECT_NE(Warnings(capture)[0].find("<CVxAudioCaptureSocket> BUFFER OVERWRITE  <LOGCOUNT: 1>\n"),
            std::string::npos);
  EXPECT_NE(
      Warnings(capture)[1].find(
          "<CVxAudioCaptureSocket> WARNING: Discarded half buffer on overflow <LOGCOUNT: 1>\n"),
      std::string::npos);
  auto& entry = ZubLogModuleTable().entries[g_ZubRingBufferLog.index];
  const std::uint32_t saved = entry.enabledMask;
  entry.enabledMask &= ~(1u << g_ZubRingBufferLog.levelWrn);
  for (int i = 0; i < 29; ++i) Overflow(ring, 100);
  entry.enabledMask = saved;
  ASSERT_EQ(Warnings(capture).size(), 2u);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 4u);
  EXPECT_NE(Warnings(capture)[2].find("BUFFER OVERWRITE  <LOGCOUNT: 31>"), std::string::npos);
  EXPECT_NE(Warnings(capture)[3].find("overflow <LOGCOUNT: 31>"), std::string::npos);
  ring.Reset();
  EXPECT_EQ(ring.GetAvailable(), 0);
  EXPECT_EQ(ring.GetCapacity(), 100);
  Overflow(ring, 100);
  ASSERT_EQ(Warnings(capture).size(), 6u);
  EXPECT_NE(Warnings(capture)[4].find("<LOGCOUNT: 1>"), std::string::npos);
}

// A writer pushes numbered frames while a reader pulls larger blocks: every read returns a
// contiguous run of the stream, runs only move forward, and the last frame written arrives.
TEST(RingBuffer, WriterAndReaderThreadsKeepTheStreamInOrder) {
  constexpr std::uint32_t kFrames = 200000;
  constexpr int kWritePacket = 37;
  constexpr int kReadBlock = 61;
  CZubRingBuffer ring("Test");
  ASSERT_TRUE(ring.Create(4096));
  std::thread writer([&] {
    std::uint32_t packet[kWritePacket];
    for (std::uint32_t next = 0; next < kFrames;) {
      int n = 0;
      for (; n < kWritePacket && next < kFrames; ++n) packet[n] = next++;
      ring.Write(packet, n * 4);
      std::this_thread::yield();
    }
  });

  std::int64_t last = -1;
  bool ordered = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::uint32_t block[kReadBlock];
  while (last + 1 < kFrames && std::chrono::steady_clock::now() < deadline) {
    const int bytes = ring.Read(block, kReadBlock * 4);
    ordered = ordered && bytes % 4 == 0;  // whole frames only
    for (int i = 0; i < bytes / 4; ++i) {
      if (i > 0 && block[i] != block[i - 1] + 1) ordered = false;
      if (static_cast<std::int64_t>(block[i]) <= last) ordered = false;
      last = block[i];
    }
    if (bytes == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(last, static_cast<std::int64_t>(kFrames) - 1);
}

}  // namespace
}  // namespace halvern
