// Frame counts and positions at socket interfaces are signed 64-bit numbers of frames.
#pragma once

#include <cstdint>

namespace halvern {

// As a position: continue where the previous operation on the socket ended. As a length: an
// unbounded (live) stream. The 32-bit pattern 0x80000001 sign-extended, not INT32_MIN.
inline constexpr std::int64_t kUnspecifiedFrames = -2147483647;
static_assert(kUnspecifiedFrames == static_cast<std::int32_t>(0x80000001u));

// Rounds toward minus infinity, so negative positions fall into the chunk or block before 0.
constexpr std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

}  // namespace halvern
