#include "samples/resampler_filter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "base/error_codes.h"

namespace halvern {
namespace {

constexpr std::int32_t kMinimumSpan = 5;
// Keeps N, B and the table size representable; far beyond any quality a caller asks for.
constexpr std::int32_t kMaximumSpan = 1 << 16;

std::int32_t Checked(std::int64_t value) {
  if (value <= 0 || value > std::numeric_limits<std::int32_t>::max()) throw kErrBadArgument;
  return static_cast<std::int32_t>(value);
}

double Blackman(double w) {
  if (w < -std::numbers::pi || w > std::numbers::pi) return 0.0;
  return 0.42 + 0.5 * std::cos(w) + 0.08 * std::cos(2.0 * w);
}

}  // namespace

std::int32_t FilterSpan(double quality) {
  const double scaled = quality * 120.0;
  // NaN and everything below the minimum land on the minimum.
  if (!(scaled >= kMinimumSpan)) return kMinimumSpan;
  if (scaled >= kMaximumSpan) return kMaximumSpan;
  return static_cast<std::int32_t>(scaled);
}

std::int64_t KernelLead(std::int64_t halfLength, std::int64_t upFactor) {
  return ((halfLength + 1) / upFactor + 1) * upFactor;
}

CResamplerGeometry MakeResamplerGeometry(std::int32_t upFactor, std::int32_t downFactor,
                                         std::int32_t span) {
  if (upFactor <= 0 || downFactor <= 0 || span <= 0) throw kErrBadArgument;
  CResamplerGeometry g{};
  g.upFactor = upFactor;
  g.downFactor = downFactor;
  g.span = span;
  g.halfLength = Checked(std::int64_t{upFactor} * span);
  g.upTimesDown = Checked(std::int64_t{upFactor} * downFactor);
  g.inputBlock = Checked(((std::int64_t{span} + 1) / g.upTimesDown + 1) * g.upTimesDown);
  g.outputBlock = Checked(std::int64_t{g.inputBlock / downFactor} * upFactor);
  g.lead = Checked(KernelLead(g.halfLength, upFactor));
  Checked(2 * std::int64_t{g.halfLength} + 1);
  return g;
}

std::vector<double> MakeResamplerTable(std::int32_t upFactor, std::int32_t downFactor,
                                       std::int32_t halfLength) {
  if (upFactor <= 0 || downFactor <= 0 || halfLength <= 0) throw kErrBadArgument;
  const std::size_t n = static_cast<std::size_t>(halfLength);
  std::vector<double> table(2 * n + 1);
  table[n] = 1.0;
  // Both arguments are accumulated step by step rather than computed as i x step: the taps are
  // defined that way, down to the last bit.
  const double sincStep = std::numbers::pi / std::max(upFactor, downFactor);
  const double windowStep = std::numbers::pi / halfLength;
  double x = 0.0;
  double w = 0.0;
  for (std::size_t i = 1; i <= n; ++i) {
    x += sincStep;
    w += windowStep;
    const double tap = Blackman(w) * std::sin(x) / x;
    table[n + i] = tap;
    table[n - i] = tap;
  }
  return table;
}

}  // namespace halvern
