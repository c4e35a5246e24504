#include "support/allocation_counter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// One slot per thread that ever allocated, claimed without allocating.
struct Slot {
  std::atomic<DWORD> thread{0};
  std::atomic<std::uint64_t> allocations{0};
};
std::array<Slot, 4096> g_Slots;

thread_local std::uint64_t t_Allocations = 0;
thread_local Slot* t_Slot = nullptr;
thread_local bool t_Claiming = false;
thread_local bool t_FailNext = false;

Slot* OwnSlot() {
  if (t_Slot != nullptr || t_Claiming) return t_Slot;
  t_Claiming = true;  // the id lookup may allocate on first use
  const DWORD self = GetCurrentThreadId();
  for (Slot& slot : g_Slots) {
    DWORD empty = 0;
    if (slot.thread.load() == self || slot.thread.compare_exchange_strong(empty, self)) {
      slot.allocations.store(0);
      t_Slot = &slot;
      break;
    }
  }
  t_Claiming = false;
  return t_Slot;
}

void* Allocate(std::size_t size) noexcept {
  ++t_Allocations;
  if (Slot* slot = OwnSlot()) slot->allocations.fetch_add(1, std::memory_order_relaxed);
  if (t_FailNext) {
    t_FailNext = false;
    return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  // Fresh memory never reads as silence: code that uses frames it never wrote shows it.
  if (block != nullptr) std::memset(block, 0xA5, size);
  return block;
}

}  // namespace

namespace halvern::testing {

std::uint64_t ThreadAllocations() { return t_Allocations; }

std::uint64_t AllocationsOfThread(DWORD threadId) {
  for (const Slot& slot : g_Slots)
    if (slot.thread.load() == threadId) return slot.allocations.load();
  return 0;
}

void FailNextAllocation() { t_FailNext = true; }

void ExpectNoAllocations(const std::function<void()>& period, int warmup, int repeat) {
  for (int i = 0; i < warmup; ++i) period();
  const std::uint64_t before = ThreadAllocations();
  for (int i = 0; i < repeat; ++i) period();
  EXPECT_EQ(ThreadAllocations(), before) << "allocations in " << repeat << " warm runs";
}

}  // namespace halvern::testing

void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
