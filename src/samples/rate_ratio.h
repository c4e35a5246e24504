// The up/down factors of the rate converter and the search that keeps them small.
#pragma once

#include <cstdint>

#include "base/error_codes.h"

namespace halvern {

// Output rate / input rate = upFactor / downFactor, in lowest terms. The rates are the ones the
// ratio was built for; either may be up to 100 Hz away from the requested one, in which case the
// converter plays slightly fast or slow while the real streams keep their rates.
struct CRateRatio {
  std::int32_t upFactor;    // L
  std::int32_t downFactor;  // M
  std::int32_t sourceRate;  // effective source rate
  std::int32_t targetRate;
};

// Finds L and M for converting `sourceRate` to `targetRate` such that L x M < `bound`: the exact
// ratio when it is small enough, otherwise the first nearby pair of a fixed trial order, otherwise
// the closest pair within 100 Hz. Throws kErrNoRateRatio when there is none.
CRateRatio FindRateRatio(std::int32_t sourceRate, std::int32_t targetRate, double bound);

}  // namespace halvern
