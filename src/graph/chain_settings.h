// The numbers that shape a conversion chain. Each has its own type with an explicit constructor,
// so two of them cannot trade places in a call without the compiler noticing.
#pragma once

#include <cstdint>

namespace halvern {

// Filter span of the rate converter: quality x 120 input periods on each side, at least 5.
struct CQuality {
  constexpr explicit CQuality(double v) : value(v) {}
  double value;
};

// Frames each stage of the chain handles per pass.
struct CChunkFrames {
  constexpr explicit CChunkFrames(std::int64_t v) : value(v) {}
  std::int64_t value;
};

// Bytes of float input the rate converter's block cache may hold.
struct CCacheBudget {
  constexpr explicit CCacheBudget(std::uint32_t v) : value(v) {}
  std::uint32_t value;
};

// Largest L x M the rate converter's ratio search accepts; a lower bound trades exact ratios for
// a shorter filter table.
struct CRatioBound {
  constexpr explicit CRatioBound(double v) : value(v) {}
  double value;
};

struct CChainSettings {
  CQuality quality;
  CChunkFrames chunk;
  CCacheBudget budget;
  CRatioBound bound;
};

// Render periods are 20 ms.
inline constexpr std::int32_t kRenderPeriodsPerSecond = 50;

// A render endpoint's chain over a capture stream at `captureRate`: a short filter, a cache of a
// few blocks and ratios below 1000 keep each period's work small; the chain moves one period of
// capture frames per pass.
constexpr CChainSettings RenderChainSettings(std::int32_t captureRate) {
  return {CQuality(0.2), CChunkFrames(captureRate / kRenderPeriodsPerSecond), CCacheBudget(512),
          CRatioBound(1000.0)};
}

// Whole-stream conversions (the pumps, the mixdown's own format step): room for the stream in
// the cache and exact ratios for every common pair of rates.
inline constexpr CCacheBudget kWholeStreamBudget{4194304};
inline constexpr CRatioBound kExactRatioBound{200000.0};

constexpr CChainSettings WholeStreamChainSettings(CQuality quality, CChunkFrames chunk) {
  return {quality, chunk, kWholeStreamBudget, kExactRatioBound};
}

}  // namespace halvern
