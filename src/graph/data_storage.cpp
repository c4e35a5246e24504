#include "graph/data_storage.h"

#include <limits>
#include <new>

namespace halvern {

namespace {

constexpr std::int64_t kAlignment = 64;

}  // namespace

CDataStorage::CDataStorage(std::int32_t frameSize, std::int64_t frames)
    : block{{frameSize, 1}, nullptr}, capacity(0) {
  if (frames <= 0 || frameSize < 0) return;
  if (frameSize > 0 && frames > (std::numeric_limits<std::int64_t>::max() - kAlignment) / frameSize)
    throw std::bad_alloc();
  const auto bytes = static_cast<std::size_t>(frameSize * frames + kAlignment);
  auto* allocation = static_cast<std::uint8_t*>(::operator new(bytes, std::nothrow));
  if (allocation == nullptr) throw std::bad_alloc();
  capacity = frames;
  // Strictly above the allocation, so there is always a byte below the frames to remember the
  // distance (1..64) by.
  const auto address = reinterpret_cast<std::uintptr_t>(allocation);
  const auto aligned = (address / kAlignment + 1) * kAlignment;
  block.data = allocation + (aligned - address);
  block.data[-1] = static_cast<std::uint8_t>(aligned - address);
}

CDataStorage::~CDataStorage() { Release(); }

void CDataStorage::Release() {
  if (block.data == nullptr) return;
  if (block.traits.raw == 0) FillSilence(block, capacity);
  ::operator delete(block.data - block.data[-1]);
  block.data = nullptr;
}

}  // namespace halvern
