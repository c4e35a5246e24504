// Counts allocations through operator new per thread, to show that a path allocates nothing once
// warmed up. The test binary replaces the global operator new for this.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/win32.h"

namespace halvern::testing {

// Allocations made so far by the calling thread.
std::uint64_t ThreadAllocations();

// Allocations made so far by the thread with this id (GetCurrentThreadId); 0 for a thread that
// never allocated. For threads the library starts itself, such as the streaming threads.
std::uint64_t AllocationsOfThread(DWORD threadId);

// Makes the next allocation of the calling thread fail (nothrow forms return null).
void FailNextAllocation();

// Runs `period` `warmup` times, then `repeat` times, and expects those last runs to allocate
// nothing on the calling thread.
void ExpectNoAllocations(const std::function<void()>& period, int warmup = 8, int repeat = 100);

}  // namespace halvern::testing
