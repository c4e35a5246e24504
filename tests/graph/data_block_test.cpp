#include "graph/data_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/counted_object.h"
#include "graph/data_buffer.h"
#include "graph/data_socket.h"
#include "graph/data_storage.h"
#include "graph/frames.h"
#include "graph/sound_buffer.h"
#include "graph/tag_list.h"
#include "support/allocation_counter.h"
#include "support/debug_capture.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using Slot = TCountedRef<CCountedObject>;
constexpr auto kSlotSize = static_cast<std::int32_t>(sizeof(Slot));

class Item : public CCountedObject {};

CDataBlock SlotBlock(Slot* slots) {
  return {{kSlotSize, 0}, reinterpret_cast<std::uint8_t*>(slots)};
}

// Five slots holding five distinct heap items, each referenced once more from `keep`.
struct Slots {
  Slots() {
    for (int i = 0; i < 5; ++i) {
      keep[i] = new Item;
      slots[i] = keep[i].Get();
    }
  }
  Slot keep[5];
  Slot slots[5];
};

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

class NamedTag : public CBitstreamTag {
 public:
  explicit NamedTag(int tagId) : id(tagId) {}
  int id;
};

struct Seen {
  std::int64_t position;
  int id, value;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> Contents(const CTagList& list) {
  std::vector<Seen> seen;
  for (const auto* entry = list.Head(); entry != nullptr; entry = entry->next)
    seen.push_back({entry->position, static_cast<NamedTag*>(entry->tag.Get())->id, entry->value});
  return seen;
}

// The backward links tell the same story as the forward ones.
void ExpectLinked(const CTagList& list) {
  int forward = 0;
  const CTagList::Entry* last = nullptr;
  for (const auto* entry = list.Head(); entry != nullptr; entry = entry->next, ++forward) {
    EXPECT_EQ(entry->previous, last);
    last = entry;
  }
  EXPECT_EQ(list.Tail(), last);
  EXPECT_EQ(list.Count(), forward);
}

}  // namespace

TEST(DataBlock, RawSilenceZeroesExactlyTheFrames) {
  std::uint8_t bytes[16];
  std::memset(bytes, 0xAB, sizeof(bytes));
  const CDataBlock block{{3, 1}, bytes + 1};
  EXPECT_EQ(FillSilence(block, 4).data, bytes + 13);
  EXPECT_EQ(bytes[0], 0xAB);
  for (int i = 1; i < 13; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(bytes[13], 0xAB);
}

TEST(DataBlock, RawAndReferenceBlocksDoNotMix) {
  std::uint8_t bytes[32] = {1, 2, 3};
  Slots s;
  const CDataBlock raw{{kSlotSize, 1}, bytes};
  const CDataBlock refs = SlotBlock(s.slots);
  const CDataBlock toRefs = CopyFrames(refs, raw, 2);
  EXPECT_EQ(toRefs.data, nullptr);
  EXPECT_EQ(toRefs.traits.raw, 0);
  const CDataBlock toRaw = CopyFrames(raw, refs, 2);
  EXPECT_EQ(toRaw.data, nullptr);
  EXPECT_EQ(toRaw.traits.frameSize, kSlotSize);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(s.slots[0].Get(), s.keep[0].Get());
  // Any two non-zero raw flags count as raw.
  std::uint8_t other[32] = {};
  EXPECT_NE(CopyFrames(CDataBlock{{4, 1}, other}, CDataBlock{{4, 9}, bytes}, 1).data, nullptr);
  EXPECT_EQ(other[2], 3);
}

// Reference slots stay counted: silence releases each one, and copies in either direction through
// an overlap (walking first to last upwards would smear slot 0 over everything) or onto
// themselves keep every object counted once per slot.
TEST(DataBlock, ReferenceSilenceAndCopiesKeepEveryObjectCounted) {
  Slots silent;
  EXPECT_EQ(FillSilence(SlotBlock(silent.slots + 1), 3).data,
            reinterpret_cast<std::uint8_t*>(silent.slots + 4));
  EXPECT_TRUE(silent.slots[0] && !silent.slots[1] && !silent.slots[3] && silent.slots[4]);
  EXPECT_EQ(silent.keep[2]->RefCount(), 1);
  EXPECT_EQ(silent.keep[4]->RefCount(), 2);

  Slots up;
  CopyFrames(SlotBlock(up.slots + 1), SlotBlock(up.slots), 4);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(up.slots[i].Get(), up.keep[i > 0 ? i - 1 : 0].Get()) << i;
  EXPECT_EQ(up.keep[0]->RefCount(), 3);
  EXPECT_EQ(up.keep[4]->RefCount(), 1);  // overwritten, released
  Slots down;
  CopyFrames(SlotBlock(down.slots), SlotBlock(down.slots + 1), 4);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(down.slots[i].Get(), down.keep[i < 4 ? i + 1 : 4].Get());
  EXPECT_EQ(down.keep[0]->RefCount(), 1);
  EXPECT_EQ(down.keep[4]->RefCount(), 3);
  Slots same;
  CopyFrames(SlotBlock(same.slots), SlotBlock(same.slots), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(same.keep[i]->RefCount(), 2);
}

TEST(DataStorage, FramesAreAlignedAndWritable) {
  for (std::int32_t frameSize : {1, 3, 4, 8, 24, 64}) {
    for (std::int64_t capacity : {1, 7, 100, 4097}) {
      CDataStorage storage(frameSize, capacity);
      ASSERT_NE(storage.block.data, nullptr);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(storage.block.data) % 64, 0u);
      // The whole capacity is writable (the address sanitizer checks the bounds).
      std::memset(storage.block.data, 0x5A, static_cast<std::size_t>(frameSize * capacity));
    }
  }
}

// A storage never claims a capacity it has no frames for.
TEST(DataStorage, FailedAllocationThrowsAndEmptyCapacityHasNoFrames) {
  testing::FailNextAllocation();
  EXPECT_THROW(CDataStorage(4, 100), std::bad_alloc);
  EXPECT_THROW(CDataStorage(8, INT64_MAX / 4), std::bad_alloc);
  CDataStorage negative(4, -5);
  EXPECT_EQ(negative.block.data, nullptr);
  EXPECT_EQ(negative.capacity, 0);
  CDataStorage some(4, 10);
  some.Release();
  EXPECT_EQ(some.block.data, nullptr);
  some.Release();
}

// Raw flags compare only as zero or non-zero; a mismatch logs both traits and throws -50.
TEST(DataSocket, MismatchLogsBothTraitsAndThrows) {
  CDataSocket socket(4);
  EXPECT_NO_THROW(socket.AssertConsistency(CDataTraits{4, 7}));
  EXPECT_THROW(socket.AssertConsistency(CDataTraits{4, 0}), int);
  const CDataTraits other{8, 0};
  testing::DebugCapture capture;
  try {
    socket.AssertConsistency(other);
    ADD_FAILURE() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, -50);
  }
  char message[160];
  std::snprintf(message, sizeof(message),
                "Mismatched data traits at %p and %p: raw=1/0 frameSize=4/8!\n",
                static_cast<const void*>(static_cast<const CDataTraits*>(&socket)),
                static_cast<const void*>(&other));
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_TRUE(capture.Lines()[0].ends_with(message)) << capture.Lines()[0];
}

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

TEST(TagList, InsertionKeepsPositionOrderAndClearReleasesEveryTag) {
  TCountedRef tag(new NamedTag(3));
  {
    CTagList list;
    list.Insert(new NamedTag(1), 5);
    list.Insert(new NamedTag(2), 3);
    list.Insert(tag.Get(), 5, 77);  // after the equal position that came first
    list.Insert(new NamedTag(4), 0);
    EXPECT_EQ(Contents(list), (std::vector<Seen>{{0, 4, 0}, {3, 2, 0}, {5, 1, 0}, {5, 3, 77}}));
    ExpectLinked(list);
    list.Clear();
    EXPECT_EQ(tag->RefCount(), 1);
    ExpectLinked(list);
    list.Insert(tag.Get(), 9);
  }
  EXPECT_EQ(tag->RefCount(), 1);  // the list's destructor dropped the rest
}

// Both copy a range, [position, position + count) or from the cursor on, and move the cursor.
TEST(TagList, HandOutAndStoreCopyTheRangeAmongExistingEntries) {
  CTagList list;
  for (int p : {0, 2, 4, 4, 6, 8}) list.Insert(new NamedTag(p * 10 + list.Count()), p);
  CTagList out;
  out.Insert(new NamedTag(100), 5);
  list.HandOut(2, 4, out);  // [2, 6)
  EXPECT_EQ(Contents(out), (std::vector<Seen>{{2, 21, 0}, {4, 42, 0}, {4, 43, 0}, {5, 100, 0}}));
  EXPECT_EQ(list.Cursor(), 6);
  list.HandOut(kUnspecifiedFrames, 3, out);  // [6, 9)
  EXPECT_EQ(Contents(out).size(), 6u);
  EXPECT_EQ(out.Tail()->position, 8);
  ExpectLinked(out);
  EXPECT_EQ(list.Count(), 6);

  CTagList stored;
  stored.Insert(new NamedTag(100), 3);
  stored.Store(2, 5, list);  // [2, 7)
  EXPECT_EQ(Contents(stored),
            (std::vector<Seen>{{2, 21, 0}, {3, 100, 0}, {4, 42, 0}, {4, 43, 0}, {6, 64, 0}}));
  EXPECT_EQ(stored.Cursor(), 7);
  stored.Store(kUnspecifiedFrames, 2, list);  // [7, 9)
  EXPECT_EQ(stored.Tail()->position, 8);
  EXPECT_EQ(stored.Cursor(), 9);
  ExpectLinked(stored);
}

// Sockets forward every pull's tags this way on the render thread: moved, never copied.
TEST(TagList, SpliceMovesEveryEntryIntoPlaceWithoutAllocating) {
  CTagList list;
  list.Insert(new NamedTag(1), 2);
  list.Insert(new NamedTag(2), 6);
  CTagList source;
  auto fill = [&source] {
    source.Insert(new NamedTag(3), 6);
    source.Insert(new NamedTag(4), 0);
    source.Insert(new NamedTag(5), 4);
  };
  fill();
  list.Splice(source);
  EXPECT_EQ(Contents(list),
            (std::vector<Seen>{{0, 4, 0}, {2, 1, 0}, {4, 5, 0}, {6, 2, 0}, {6, 3, 0}}));
  EXPECT_EQ(source.Count(), 0);
  EXPECT_EQ(source.Head(), nullptr);
  ExpectLinked(list);
  ExpectLinked(source);
  fill();
  testing::ExpectNoAllocations([&] {
    CTagList other;
    other.Splice(source);
    source.Splice(other);
  });
  EXPECT_EQ(source.Count(), 3);
}

}  // namespace halvern
