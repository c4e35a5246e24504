// Small sockets for graph tests: a source whose frames carry their own stream position, and a
// sink that records every push.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/data_pull_socket.h"
#include "graph/data_push_socket.h"
#include "graph/frames.h"

namespace halvern::testing {

class PositionTag : public CBitstreamTag {};

// Frames of 4 bytes holding the int32 stream position of the frame. Finite sources deliver
// [0, length); a source built with kUnspecifiedFrames reports an unbounded stream. Either stops
// for good after `available` frames in total. Tags sit at every position divisible by tagEvery.
class PositionSource : public CDataPullSocket {
 public:
  struct Call {
    std::int64_t count;
    std::int64_t position;
  };

  PositionSource(std::int64_t length, std::int64_t available, std::int64_t tagEvery = 0)
      : CDataPullSocket(4), m_Length(length), m_Available(available), m_TagEvery(tagEvery) {}

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override {
    AssertConsistency(block.traits);
    tags.Clear();
    calls.push_back({count, position});
    std::int64_t at = position == kUnspecifiedFrames ? m_Next : position;
    std::int64_t n = std::max<std::int64_t>(0, std::min(count, m_Available - m_Delivered));
    if (m_Length != kUnspecifiedFrames) n = std::max<std::int64_t>(0, std::min(n, m_Length - at));
    for (std::int64_t i = 0; i < n; ++i, ++at) {
      const auto value = static_cast<std::int32_t>(at);
      std::memcpy(block.data + 4 * i, &value, 4);
      if (m_TagEvery > 0 && at % m_TagEvery == 0) tags.Insert(new PositionTag, at);
    }
    m_Delivered += n;
    m_Next = at;
    return n;
  }
  std::int64_t GetLength() override { return m_Length; }

  std::vector<Call> calls;

 private:
  std::int64_t m_Length;
  std::int64_t m_Available;
  std::int64_t m_TagEvery;
  std::int64_t m_Delivered = 0;
  std::int64_t m_Next = 0;
};

class RecordingSink : public CDataPushSocket {
 public:
  struct Record {
    std::int64_t count;
    std::int64_t position;
    std::vector<std::int32_t> values;
    std::vector<std::int64_t> tagPositions;
  };

  explicit RecordingSink(std::int32_t size = 4) : CDataPushSocket(size) {}

  using CDataPushSocket::Push;
  void Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
            CTagList& tags) override {
    AssertConsistency(block.traits);
    Record record{count, position, {}, {}};
    for (std::int64_t i = 0; i < count && frameSize == 4; ++i) {
      std::int32_t value = 0;
      std::memcpy(&value, block.data + 4 * i, 4);
      record.values.push_back(value);
    }
    for (const auto* entry = tags.Head(); entry != nullptr; entry = entry->next)
      record.tagPositions.push_back(entry->position);
    pushes.push_back(record);
  }
  void Flush(int flags) override {
    EXPECT_EQ(flags, 0);
    ++flushes;
  }

  std::vector<Record> pushes;
  int flushes = 0;
};

class ProgressLog : public CProgressObserver {
 public:
  void OnProgress(std::int64_t frames) override { counts.push_back(frames); }
  std::vector<std::int64_t> counts;
};

}  // namespace halvern::testing
