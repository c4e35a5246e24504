#include "graph/data_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_buffer.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

constexpr std::int64_t U = kUnspecifiedFrames;

// Frames of one int32 each.
std::vector<std::int32_t> Frames(std::initializer_list<std::int32_t> values) { return values; }

CDataBlock BlockOf(std::vector<std::int32_t>& frames) {
  return {{4, 1}, reinterpret_cast<std::uint8_t*>(frames.data())};
}

TCountedRef<CDataBuffer> NumberedBuffer(std::int64_t length) {
  TCountedRef buffer(new CDataBuffer(4, length, false, nullptr, 0, 0));
  std::vector<std::int32_t> values;
  for (std::int32_t i = 0; i < length; ++i) values.push_back(100 + i);
  buffer->Push(BlockOf(values), length, 0);
  return buffer;
}

class Marker : public CBitstreamTag {};

using testing::TagPositions;
using Positions = std::vector<std::int64_t>;

}  // namespace

TEST(DataBuffer, PullsAreSilentBeforeZeroAndShortAtTheEnd) {
  TCountedRef fresh(new CDataBuffer(4, 5, false, nullptr, 0, 0));
  std::vector<std::int32_t> out(7, -1);
  EXPECT_EQ(fresh->Pull(BlockOf(out), 5, U), 5);
  EXPECT_EQ(out, Frames({0, 0, 0, 0, 0, -1, -1}));
  auto buffer = NumberedBuffer(8);
  out.assign(7, -1);
  // Entirely before zero: all silence, the cursor stays below zero.
  EXPECT_EQ(buffer->Pull(BlockOf(out), 2, -10), 2);
  EXPECT_EQ(buffer->Cursor(), -8);
  EXPECT_EQ(out, Frames({0, 0, -1, -1, -1, -1, -1}));
  EXPECT_EQ(buffer->Pull(BlockOf(out), 6, -3), 6);
  EXPECT_EQ(out, Frames({0, 0, 0, 100, 101, 102, -1}));
  EXPECT_EQ(buffer->Cursor(), 3);
  EXPECT_EQ(buffer->Pull(BlockOf(out), 4, 5), 3);
  EXPECT_EQ(buffer->Pull(BlockOf(out), 4, U), 0);
  EXPECT_EQ(out, Frames({105, 106, 107, 100, 101, 102, -1}));
}

// Pushes before zero or at the end are dropped whole, pushes running past the end are cut, and
// pulls and pushes share one cursor.
TEST(DataBuffer, PushesAreClippedToTheStreamAndShareTheCursorWithPulls) {
  auto buffer = NumberedBuffer(10);
  std::vector<std::int32_t> in(6, 7);
  buffer->Push(BlockOf(in), 6, 2);
  EXPECT_EQ(buffer->Cursor(), 8);
  buffer->Push(BlockOf(in), 6, -3);
  buffer->Push(BlockOf(in), 1, 10);
  buffer->Push(BlockOf(in), -1, 0);
  EXPECT_EQ(buffer->Cursor(), 8);
  in = Frames({1, 2, 3, 4, 5});
  buffer->Push(BlockOf(in), 5, 7);
  EXPECT_EQ(buffer->Cursor(), 10);
  std::vector<std::int32_t> out(3);
  buffer->Pull(BlockOf(out), 3, 2);  // cursor 5
  in = Frames({-5, -6});
  buffer->Push(BlockOf(in), 2, U);  // lands at 5, cursor 7
  EXPECT_EQ(buffer->Cursor(), 7);
  out.resize(10);
  buffer->Pull(BlockOf(out), 10, 0);
  EXPECT_EQ(out, Frames({100, 101, 7, 7, 7, -5, -6, 1, 2, 3}));
  EXPECT_THROW(buffer->Pull(CDataBlock{{2, 1}, nullptr}, 1, 0), int);
  EXPECT_THROW(buffer->Push(CDataBlock{{4, 0}, nullptr}, 1, 0), int);
}

TEST(DataBuffer, TagsAreStoredWithTheirFramesAndHandedOutByRange) {
  TCountedRef buffer(new CDataBuffer(4, 10, false, nullptr, 0, 0));
  std::vector<std::int32_t> in(4);
  CTagList incoming;
  for (std::int64_t p : {1, 3, 4, 6, 8}) incoming.Insert(new Marker, p);
  buffer->Push(BlockOf(in), 4, 3, incoming);  // [3, 7)
  EXPECT_EQ(TagPositions(buffer->Tags()), (Positions{3, 4, 6}));

  CTagList out;
  out.Insert(new Marker, 99);  // a pull replaces what the caller had
  std::vector<std::int32_t> frames(10);
  EXPECT_EQ(buffer->Pull(BlockOf(frames), 3, 4, out), 3);  // [4, 7)
  EXPECT_EQ(TagPositions(out), (Positions{4, 6}));
  EXPECT_EQ(buffer->Pull(BlockOf(frames), 3, -2, out), 3);  // [-2, 1): silence and frame 0
  EXPECT_TRUE(TagPositions(out).empty());
  EXPECT_EQ(buffer->Tags().Count(), 3);
}

TEST(DataBuffer, InitialTagsAreCopiedAndLeadAndTailAreOutsideTheStream) {
  CTagList initial;
  initial.Insert(new Marker, 2);
  TCountedRef buffer(new CDataBuffer(4, 4, false, &initial, 2, 3));
  EXPECT_EQ(initial.Count(), 1);
  EXPECT_EQ(TagPositions(buffer->Tags()), (Positions{2}));
  EXPECT_EQ(buffer->GetLength(), 4);
  std::vector<std::int32_t> in = Frames({1, 2, 3, 4, 5, 6});
  buffer->Push(BlockOf(in), 6, 0);  // cut to the 4 frames of the stream
  const auto* storage = reinterpret_cast<const std::int32_t*>(buffer->StorageBlock().data);
  EXPECT_EQ(std::vector<std::int32_t>(storage, storage + 9), Frames({0, 0, 1, 2, 3, 4, 0, 0, 0}));
  std::vector<std::int32_t> out(6, -1);
  EXPECT_EQ(buffer->Pull(BlockOf(out), 6, -1), 5);
  EXPECT_EQ(out, Frames({0, 1, 2, 3, 4, -1}));
}

TEST(SoundBuffer, PullAndPushSidesShareOneReferenceCount) {
  TCountedRef buffer(new CSoundBuffer(CSoundTraits(kFormatPacked24, 2, 48000), 4));
  CDataPullSocket* pull = buffer.Get();
  CDataPushSocket* push = buffer.Get();
  pull->AddRef();
  EXPECT_EQ(buffer->RefCount(), 2);
  push->Release();
  EXPECT_EQ(buffer->RefCount(), 1);
}

}  // namespace halvern
