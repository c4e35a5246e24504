// The float to 16-bit converter: clips to the 16-bit range instead of wrapping, and maps NaN to 0.
#pragma once

#include <cstdint>

#include "samples/sample_funnel.h"

namespace halvern {

class CFloatShortQuantizer final : public CSampleFunnel {
 public:
  CFloatShortQuantizer(std::int32_t channels, const TCountedRef<Filter>& filter, bool swap);

  // Throws the integer -50 when `count` is not a whole number of frames (nothing is written then).
  void Convert(void* dst, const void* src, int count) override;

  std::int32_t Channels() const { return m_Channels; }
  bool Swapped() const { return m_Swap; }

 private:
  std::int32_t m_Channels;
  bool m_Swap;
};

}  // namespace halvern
