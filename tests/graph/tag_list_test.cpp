#include "graph/tag_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "graph/frames.h"
#include "support/allocation_counter.h"

namespace halvern {
namespace {

class NamedTag : public CBitstreamTag {
 public:
  explicit NamedTag(int tagId) : id(tagId) {}
  int id;
};

struct Seen {
  std::int64_t position;
  int id;
  std::int32_t value;
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

TEST(TagList, InsertionKeepsPositionOrderAndEqualPositionsInArrivalOrder) {
  CTagList list;
  list.Insert(new NamedTag(1), 5);
  list.Insert(new NamedTag(2), 3);
  list.Insert(new NamedTag(3), 5, 77);
  list.Insert(new NamedTag(4), 0);
  EXPECT_EQ(Contents(list), (std::vector<Seen>{{0, 4, 0}, {3, 2, 0}, {5, 1, 0}, {5, 3, 77}}));
  ExpectLinked(list);
  EXPECT_EQ(list.Cursor(), 0);
}

TEST(TagList, ClearReleasesEveryTag) {
  TCountedRef<NamedTag> tag(new NamedTag(1));
  {
    CTagList list;
    list.Insert(tag.Get(), 1);
    list.Insert(tag.Get(), 2);
    EXPECT_EQ(tag->RefCount(), 3);
    list.Clear();
    EXPECT_EQ(tag->RefCount(), 1);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Head(), nullptr);
    EXPECT_EQ(list.Tail(), nullptr);
    list.Insert(tag.Get(), 9);
  }
  EXPECT_EQ(tag->RefCount(), 1);  // the list's destructor dropped the rest
}

TEST(TagList, HandOutCopiesTheRangeAndMovesTheCursor) {
  CTagList list;
  for (int p : {0, 2, 4, 4, 6, 8}) list.Insert(new NamedTag(p * 10 + list.Count()), p);
  CTagList out;
  list.HandOut(2, 4, out);  // [2, 6)
  EXPECT_EQ(Contents(out), (std::vector<Seen>{{2, 21, 0}, {4, 42, 0}, {4, 43, 0}}));
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(list.Cursor(), 6);
  CTagList next;
  list.HandOut(kUnspecifiedFrames, 3, next);  // continues at the cursor: [6, 9)
  EXPECT_EQ(Contents(next), (std::vector<Seen>{{6, 64, 0}, {8, 85, 0}}));
  EXPECT_EQ(list.Cursor(), 9);
  ExpectLinked(out);
}

TEST(TagList, StoreInsertsTheRangeAmongExistingEntries) {
  CTagList source;
  for (int p : {1, 3, 5, 7, 9}) source.Insert(new NamedTag(p), p);
  CTagList list;
  list.Insert(new NamedTag(100), 4);
  list.Store(3, 5, source);  // [3, 8)
  EXPECT_EQ(Contents(list), (std::vector<Seen>{{3, 3, 0}, {4, 100, 0}, {5, 5, 0}, {7, 7, 0}}));
  EXPECT_EQ(list.Cursor(), 8);
  list.Store(kUnspecifiedFrames, 2, source);  // [8, 10)
  EXPECT_EQ(list.Tail()->position, 9);
  EXPECT_EQ(list.Cursor(), 10);
  EXPECT_EQ(source.Count(), 5);
  ExpectLinked(list);
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
