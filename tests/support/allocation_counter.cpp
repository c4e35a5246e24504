#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local std::uint64_t t_Allocations = 0;

void* Allocate(std::size_t size) noexcept {
  ++t_Allocations;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace halvern::testing {

std::uint64_t ThreadAllocations() { return t_Allocations; }

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
