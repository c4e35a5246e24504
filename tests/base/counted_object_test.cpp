#include "base/counted_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/win32.h"

namespace halvern {
namespace {

constexpr DWORD kDeadlineMs = 10000;

std::atomic<int> g_Destroyed{0};

class Probe : public CCountedObject {
 public:
  ~Probe() override { ++g_Destroyed; }
};

// Records the two hooks instead of deleting itself, so it can live inside other storage.
class HookProbe : public CCountedObject {
 public:
  void OnFirstReference() override { ++firsts; }
  void OnLastReference() override { ++lasts; }
  int firsts = 0;
  int lasts = 0;
};

struct Container {
  int before = 1;
  HookProbe member;
  int after = 2;
};

}  // namespace

namespace {

// Counts on a stack object before and after balanced references, and the hook calls they made.
struct StackRun {
  int countAtStart = -1;
  int countAfterRefs = -1;
  int hookCalls = -1;
};

DWORD WINAPI RunOnStack(LPVOID parameter) {
  auto* result = static_cast<StackRun*>(parameter);
  HookProbe local;
  result->countAtStart = local.RefCount();
  local.AddRef();
  local.Release();
  {
    TCountedRef<HookProbe> ref(&local);
    TCountedRef<HookProbe> again(ref);
  }
  result->countAfterRefs = local.RefCount();
  result->hookCalls = local.firsts + local.lasts;
  return 0;
}

}  // namespace

// Whichever thread's stack holds it, the object starts at 1, never crosses 0 <-> 1 and is not
// deleted by its references.
TEST(CountedObject, StackObjectsSurviveBalancedReferencesOnAnyThread) {
  StackRun here;
  RunOnStack(&here);
  StackRun there;
  HANDLE thread = CreateThread(nullptr, 0, RunOnStack, &there, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  for (const StackRun& run : {here, there}) {
    EXPECT_EQ(run.countAtStart, 1);
    EXPECT_EQ(run.countAfterRefs, 1);
    EXPECT_EQ(run.hookCalls, 0);
  }
  g_Destroyed = 0;
  { Probe local; }
  EXPECT_EQ(g_Destroyed, 1);  // by leaving its scope
}

TEST(CountedObject, HeapObjectIsDeletedOnTheLastRelease) {
  g_Destroyed = 0;
  auto* object = new Probe;
  EXPECT_EQ(object->RefCount(), 0);
  TCountedRef<Probe> first(object);
  {
    TCountedRef<Probe> second(first);
    TCountedRef<CCountedObject> base(second);
    EXPECT_EQ(object->RefCount(), 3);
  }
  EXPECT_EQ(g_Destroyed, 0);
  first.Drop();
  EXPECT_EQ(g_Destroyed, 1);
  EXPECT_FALSE(first);
}

TEST(CountedObject, MemberOfAHeapContainerCountsAsHeap) {
  auto container = std::make_unique<Container>();
  EXPECT_EQ(container->member.RefCount(), 0);
  container->member.AddRef();
  container->member.AddRef();
  EXPECT_EQ(container->member.firsts, 1);  // 0 -> 1 only
  container->member.Release();
  EXPECT_EQ(container->member.lasts, 0);
  container->member.Release();
  EXPECT_EQ(container->member.lasts, 1);  // 1 -> 0 only
  container->member.AddRef();
  EXPECT_EQ(container->member.firsts, 2);
  container->member.Release();
  EXPECT_EQ(container->member.lasts, 2);
}

TEST(CountedRef, AssignmentTakesTheNewObjectAndDropsTheOld) {
  g_Destroyed = 0;
  auto* a = new Probe;
  auto* b = new Probe;
  TCountedRef<Probe> ref(a);
  ref = a;  // the same object: nothing happens
  EXPECT_EQ(a->RefCount(), 1);
  TCountedRef<Probe> keepB(b);
  ref = b;
  EXPECT_EQ(g_Destroyed, 1);  // a went with its only reference
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
  EXPECT_EQ(g_Destroyed, 1);
  ref.Drop();
  EXPECT_EQ(g_Destroyed, 2);
}

namespace {

// A list node: the next node may be held by nothing but this one.
class Node : public CCountedObject {
 public:
  explicit Node(int nodeId, Node* following = nullptr) : id(nodeId), next(following) {}
  ~Node() override { destroyed.push_back(id); }
  int id;
  TCountedRef<Node> next;
  static inline std::vector<int> destroyed;
};

}  // namespace

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

namespace {

struct Shared {
  TCountedRef<Probe>* start;
};

DWORD WINAPI CopyAndDropMany(LPVOID parameter) {
  const auto* shared = static_cast<Shared*>(parameter);
  for (int i = 0; i < 20000; ++i) TCountedRef<Probe> copy(*shared->start);
  return 0;
}

}  // namespace

TEST(CountedObject, ConcurrentReferencesDeleteExactlyOnce) {
  g_Destroyed = 0;
  TCountedRef<Probe> start(new Probe);
  Shared shared{&start};
  HANDLE threads[2] = {CreateThread(nullptr, 0, CopyAndDropMany, &shared, 0, nullptr),
                       CreateThread(nullptr, 0, CopyAndDropMany, &shared, 0, nullptr)};
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  EXPECT_EQ(start->RefCount(), 1);
  EXPECT_EQ(g_Destroyed, 0);
  start.Drop();
  EXPECT_EQ(g_Destroyed, 1);
}

}  // namespace halvern
