#include "base/counted_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace halvern {
namespace {

class Probe : public CCountedObject {
 public:
  ~Probe() override { ++destroyed; }
  static inline std::atomic<int> destroyed{0};
};

// Records the two hooks instead of deleting itself, so it can live inside other storage.
class HookProbe : public CCountedObject {
 public:
  void OnFirstReference() override { ++firsts; }
  void OnLastReference() override { ++lasts; }
  int firsts = 0;
  int lasts = 0;
};

// Whichever thread's stack holds it, the object starts at 1, never crosses 0 <-> 1 and is not
// deleted by its references.
void BalancedReferencesOnAStackObject() {
  HookProbe local;
  EXPECT_EQ(local.RefCount(), 1);
  local.AddRef();
  local.Release();
  {
    TCountedRef<HookProbe> ref(&local);
    TCountedRef<HookProbe> again(ref);
  }
  EXPECT_EQ(local.RefCount(), 1);
  EXPECT_EQ(local.firsts + local.lasts, 0);
}

TEST(CountedObject, StackObjectsSurviveBalancedReferencesOnAnyThread) {
  BalancedReferencesOnAStackObject();
  std::thread(BalancedReferencesOnAStackObject).join();
  Probe::destroyed = 0;
  { Probe local; }
  EXPECT_EQ(Probe::destroyed, 1);  // by leaving its scope
}

TEST(CountedObject, MemberOfAHeapContainerCountsAsHeap) {
  struct Container {
    int before = 1;
    HookProbe member;
  };
  auto container = std::make_unique<Container>();
  HookProbe& member = container->member;
  EXPECT_EQ(member.RefCount(), 0);
  member.AddRef();
  member.AddRef();
  EXPECT_EQ(member.firsts, 1);  // 0 -> 1 only
  member.Release();
  EXPECT_EQ(member.lasts, 0);
  member.Release();
  EXPECT_EQ(member.lasts, 1);  // 1 -> 0 only
  member.AddRef();
  member.Release();
  EXPECT_EQ(member.firsts, 2);
  EXPECT_EQ(member.lasts, 2);
}

TEST(CountedRef, HeapObjectsGoWithTheirLastReferenceWhicheverWayItIsDropped) {
  Probe::destroyed = 0;
  auto* a = new Probe;
  auto* b = new Probe;
  EXPECT_EQ(a->RefCount(), 0);
  TCountedRef<Probe> ref(a);
  ref = a;  // the same object: nothing happens
  {
    TCountedRef<CCountedObject> base(ref);
    EXPECT_EQ(a->RefCount(), 2);
  }
  TCountedRef<Probe> keepB(b);
  ref = b;
  EXPECT_EQ(Probe::destroyed, 1);  // a went with its only reference
  EXPECT_EQ(b->RefCount(), 2);
  TCountedRef<Probe> moved(std::move(ref));
  EXPECT_FALSE(ref);
  EXPECT_EQ(b->RefCount(), 2);
  ref = moved;
  const TCountedRef<Probe>& alias = ref;
  ref = alias;  // self-assignment keeps the one reference
  EXPECT_EQ(b->RefCount(), 3);
  keepB = nullptr;
  moved.Drop();
  EXPECT_EQ(Probe::destroyed, 1);
  ref.Drop();
  EXPECT_EQ(Probe::destroyed, 2);
  EXPECT_FALSE(ref);
}

// A list node: the next node may be held by nothing but this one.
class Node : public CCountedObject {
 public:
  explicit Node(int nodeId, Node* following = nullptr) : id(nodeId), next(following) {}
  ~Node() override { destroyed.push_back(id); }
  int id;
  TCountedRef<Node> next;
  static inline std::vector<int> destroyed;
};

// `head = head->next` drops the old head, whose destruction would free the new one before it was
// taken (the address sanitizer shows the use after free).
TEST(CountedRef, AssigningAnObjectHeldOnlyByTheOldTargetKeepsItAlive) {
  Node::destroyed.clear();
  TCountedRef<Node> head(new Node(1, new Node(2, new Node(3))));
  head = head->next;
  EXPECT_EQ(Node::destroyed, (std::vector<int>{1}));
  ASSERT_EQ(head->RefCount(), 1);
  head = std::move(head->next);
  EXPECT_EQ(Node::destroyed, (std::vector<int>{1, 2}));
  EXPECT_EQ(head->id, 3);
  head.Drop();
  EXPECT_EQ(Node::destroyed, (std::vector<int>{1, 2, 3}));
}

TEST(CountedObject, ConcurrentReferencesDeleteExactlyOnce) {
  Probe::destroyed = 0;
  TCountedRef<Probe> start(new Probe);
  auto copies = [&] {
    for (int i = 0; i < 20000; ++i) TCountedRef<Probe> copy(start);
  };
  std::thread a(copies), b(copies);
  a.join();
  b.join();
  EXPECT_EQ(start->RefCount(), 1);
  EXPECT_EQ(Probe::destroyed, 0);
  start.Drop();
  EXPECT_EQ(Probe::destroyed, 1);
}

}  // namespace
}  // namespace halvern
