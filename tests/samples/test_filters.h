// Small filters for the conversion tests.
#pragma once

#include <vector>

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

// Records what it sees and passes it through.
class CRecorder final : public CSampleFunnel::Filter {
 public:
  double FilterSample(double sample) override {
    seen.push_back(sample);
    return sample;
  }
  std::vector<double> seen;
};

}  // namespace halvern::test_filters
