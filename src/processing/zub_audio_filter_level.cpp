#include "processing/zub_audio_filter_level.h"

#include <cmath>

namespace halvern {

namespace {

// 0.01 dB of release per step until the owner sets a decay.
constexpr float kInitialReleaseExponent = -0.0005f;

}  // namespace

double ZubLinearToDb(double value) {
  if (value == 0.0) return kZubSilenceDb;
  return static_cast<double>(20.0f * std::log10(static_cast<float>(value)));
}

double ZubPeakToDb(double peak) {
  const double decibels = ZubLinearToDb(peak);
  return decibels < kZubSilenceDb ? kZubSilenceDb : decibels;
}

double ZubDbToLinear(double decibels) {
  return static_cast<double>(std::pow(10.0f, static_cast<float>(decibels) / 20.0f));
}

CZubAudioFilter_Level::CZubAudioFilter_Level(std::uint32_t sampleRate)
    : m_StepLength(sampleRate / 1000),
      m_ReleaseFactor(static_cast<double>(std::pow(10.0f, kInitialReleaseExponent))) {}

double CZubAudioFilter_Level::FilterSample(double sample) {
  const double scaled = sample * m_Gain.load(std::memory_order_relaxed);
  const double magnitude = std::fabs(scaled);
  const std::uint32_t counter = m_StepCounter.load(std::memory_order_relaxed);
  const double peak = m_Peak.load(std::memory_order_relaxed);
  if (counter < m_StepLength) {
    m_StepCounter.store(counter + 1, std::memory_order_relaxed);
    if (magnitude > peak) m_Peak.store(magnitude, std::memory_order_relaxed);
  } else {
    m_StepCounter.store(0, std::memory_order_relaxed);
    const double released = peak * m_ReleaseFactor.load(std::memory_order_relaxed);
    m_Peak.store(peak > magnitude ? released : magnitude, std::memory_order_relaxed);
  }
  return scaled;
}

int CZubAudioFilter_Level::Reset() {
  m_StepCounter.store(0, std::memory_order_relaxed);
  m_Peak.store(0.0, std::memory_order_relaxed);
  return 0;
}

double CZubAudioFilter_Level::GetPeak() { return m_Peak.load(std::memory_order_relaxed); }

double CZubAudioFilter_Level::GetPeakDb() { return ZubPeakToDb(GetPeak()); }

void CZubAudioFilter_Level::SetDecayDb(double decibelsPerStep) {
  const float exponent = -static_cast<float>(decibelsPerStep) / 20.0f;
  m_ReleaseFactor.store(static_cast<double>(std::pow(10.0f, exponent)), std::memory_order_relaxed);
}

double CZubAudioFilter_Level::GetGain() { return m_Gain.load(std::memory_order_relaxed); }

void CZubAudioFilter_Level::SetGain(double gain) {
  if (gain >= 0.0 && gain <= 1.0) m_Gain.store(gain, std::memory_order_relaxed);
}

}  // namespace halvern
