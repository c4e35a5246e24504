#include "samples/rate_ratio.h"

#include <initializer_list>
#include <numeric>
#include <utility>

namespace halvern {
namespace {

// A candidate pair reduced to lowest terms. Rates are widened so that offsets and products of odd
// inputs cannot overflow; two zero rates (no common divisor) give factors 0, which the converter
// refuses later as a ratio that is not above zero.
struct CReduced {
  std::int64_t up = 0;
  std::int64_t down = 0;
};

CReduced Reduce(std::int64_t source, std::int64_t target) {
  const std::int64_t g = std::gcd(target, source);
  if (g == 0) return {};
  return {target / g, source / g};
}

bool IsBelowBound(const CReduced& r, double bound) {
  return static_cast<double>(r.up) * static_cast<double>(r.down) < bound;
}

CRateRatio MakeRatio(const CReduced& r, std::int64_t source, std::int64_t target) {
  return {static_cast<std::int32_t>(r.up), static_cast<std::int32_t>(r.down),
          static_cast<std::int32_t>(source), static_cast<std::int32_t>(target)};
}

// Tries the candidates in the order given; true (and `out` set) for the first one below the bound.
bool TryInOrder(std::initializer_list<std::pair<std::int64_t, std::int64_t>> candidates,
                double bound, CRateRatio& out) {
  for (const auto& [source, target] : candidates) {
    const CReduced r = Reduce(source, target);
    if (IsBelowBound(r, bound)) {
      out = MakeRatio(r, source, target);
      return true;
    }
  }
  return false;
}

}  // namespace

CRateRatio FindRateRatio(std::int32_t sourceRate, std::int32_t targetRate, double bound) {
  const std::int64_t s = sourceRate;
  const std::int64_t t = targetRate;
  CRateRatio found{};
  if (TryInOrder({{s, t}}, bound, found)) return found;

  for (std::int64_t k = 1; k <= 9; ++k) {
    if (TryInOrder({{s + k, t}, {s - k, t}, {s, t + k}, {s, t - k}}, bound, found)) return found;
  }
  for (std::int64_t j = 1; j <= 9; ++j) {
    for (std::int64_t i = 1; i <= 9; ++i) {
      if (TryInOrder({{s + i, t + j}, {s - i, t + j}, {s + i, t - j}, {s - i, t - j}}, bound,
                     found)) {
        return found;
      }
    }
  }

  // Closest speed error among all pairs within 100 Hz; a later pair must be strictly better, so
  // ties keep the earlier (lower target, then lower source) pair.
  const double requested = static_cast<double>(s) / static_cast<double>(t);
  double bestError = 10.0;
  bool any = false;
  for (std::int64_t target = t - 100; target <= t + 99; ++target) {
    for (std::int64_t source = s - 100; source <= s + 99; ++source) {
      const CReduced r = Reduce(source, target);
      if (!IsBelowBound(r, bound)) continue;
      double error = (static_cast<double>(source) / static_cast<double>(target)) / requested;
      if (error < 1.0) error = 1.0 / error;
      if (error < bestError) {
        bestError = error;
        found = MakeRatio(r, source, target);
        any = true;
      }
    }
  }
  if (!any) throw kErrNoRateRatio;
  return found;
}

}  // namespace halvern
