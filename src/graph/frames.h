// Frame counts and positions at socket interfaces are signed 64-bit numbers of frames.
#pragma once

#include <cstdint>

namespace halvern {

// As a position: continue where the previous operation on the socket ended. As a length: an
// unbounded (live) stream. The 32-bit pattern 0x80000001 sign-extended, not INT32_MIN.
inline constexpr std::int64_t kUnspecifiedFrames = -2147483647;
static_assert(kUnspecifiedFrames == static_cast<std::int32_t>(0x80000001u));

// Thrown as a plain integer for programming errors inside the graph (mismatched traits, frame
// sizes that do not match, impossible conversion requests).
inline constexpr int kGraphProgrammingError = -50;

}  // namespace halvern
