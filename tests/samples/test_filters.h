// Small filters for the conversion tests.
#pragma once

#include "samples/sample_funnel.h"

namespace halvern::test_filters {

// Multiplies every sample by a constant (1.0 passes it through).
class CScale final : public CSampleFunnel::Filter {
 public:
  explicit CScale(double factor) : m_Factor(factor) {}
  double FilterSample(double sample) override { return sample * m_Factor; }

 private:
  double m_Factor;
};

}  // namespace halvern::test_filters
