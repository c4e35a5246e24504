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
