// The plain integers the graph and the sample code throw. Callers above them (the render
// endpoint's chain building) catch everything, so only these two values ever travel.
#pragma once

namespace halvern {

// A programming error: mismatched traits or frame sizes, an impossible conversion request, a
// sample count that is not a whole number of frames, sizes that do not fit.
inline constexpr int kErrBadArgument = -50;

// No pair of rates within 100 Hz of the requested ones has L x M below the ratio bound.
inline constexpr int kErrNoRateRatio = -21287;

}  // namespace halvern
