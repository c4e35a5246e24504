// Counts the calling thread's allocations through operator new, to show that a path allocates
// nothing once warmed up. The test binary replaces the global operator new for this.
#pragma once

#include <cstdint>

namespace halvern::testing {

std::uint64_t ThreadAllocations();

}  // namespace halvern::testing
