// Per-channel gain and hold-and-release peak meter, run on every captured sample.
#pragma once

#include <atomic>
#include <cstdint>

#include "samples/sample_funnel.h"

namespace halvern {

// Decibel conversions of the processing library, in single precision as the host sees them.
inline constexpr double kZubSilenceDb = -144.0;
double ZubLinearToDb(double value);     // 20 log10(v); exactly 0.0 gives -144.0; no floor
double ZubPeakToDb(double peak);        // as ZubLinearToDb, never below -144.0
double ZubDbToLinear(double decibels);  // 10^(dB / 20)

class CZubAudioFilter_Level : public CSampleFunnel::Filter {
 public:
  explicit CZubAudioFilter_Level(std::uint32_t sampleRate);

  // Scales the sample by the gain and follows the peak of the scaled samples.
  double FilterSample(double sample) override;

  virtual int Reset();
  virtual double GetPeak();
  virtual double GetPeakDb();
  // The release factor per step becomes 10^(-dB / 20).
  virtual void SetDecayDb(double decibelsPerStep);
  virtual double GetGain();
  // Accepted only within [0, 1]; anything else is ignored.
  virtual void SetGain(double gain);

  std::uint32_t StepLength() const { return m_StepLength; }
  double ReleaseFactor() const { return m_ReleaseFactor.load(std::memory_order_relaxed); }

 private:
  // The meter runs on the capture thread while API threads read it or reset it without the
  // processor's lock; relaxed atomics make those single-value accesses well defined at no cost.
  const std::uint32_t m_StepLength;
  std::atomic<std::uint32_t> m_StepCounter{0};
  std::atomic<double> m_Peak{0.0};
  std::atomic<double> m_ReleaseFactor;
  std::atomic<double> m_Gain{1.0};
};

}  // namespace halvern
