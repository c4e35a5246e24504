// A push socket that records every push, and a progress observer that records every count.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/data_push_socket.h"
#include "graph/progress_observer.h"

namespace halvern::testing {

class RecordingSink : public CDataPushSocket {
 public:
  struct Record {
    std::int64_t count;
    std::int64_t position;
    std::vector<std::int32_t> values;  // the frames, when they are 4 bytes
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
