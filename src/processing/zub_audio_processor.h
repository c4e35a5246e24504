// The capture side's gain stage and peak meters: one level filter per channel, run in place over
// every captured packet before it is handed to the render endpoints.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/counted_object.h"
#include "base/zub_thread_mutex.h"
#include "processing/zub_audio_filter_level.h"
#include "samples/sample_funnel.h"

namespace halvern {

class CZubAudioProcessor {
 public:
  static constexpr int kMaxChannels = 8;
  // The channel argument that addresses every channel at once (peak reading, gain setting).
  static constexpr std::int32_t kAllChannels = -1;

  // A channel count outside 1..8 makes an invalid processor on which every operation does nothing.
  CZubAudioProcessor(std::uint32_t sampleFormat, int channels, std::uint32_t sampleRate);
  CZubAudioProcessor(const CZubAudioProcessor&) = delete;
  CZubAudioProcessor& operator=(const CZubAudioProcessor&) = delete;
  virtual ~CZubAudioProcessor();

  virtual bool GetDecay(double& decibelsPerSecond);
  virtual bool SetDecay(double decibelsPerSecond);
  virtual double GetPeak(std::int32_t channel);
  virtual double GetPeakDb(std::int32_t channel);
  // Scales and meters `byteCount` bytes of interleaved samples in place.
  virtual void Process(void* data, std::uint32_t byteCount);
  virtual double GetGain(std::int32_t channel);
  virtual double GetGainDb(std::int32_t channel);
  virtual bool SetGain(double gain, std::int32_t channel);
  virtual bool SetGainDb(double decibels, std::int32_t channel);
  virtual void Reset();

  bool IsValid() const { return m_Valid; }

 private:
  bool IsChannel(std::int32_t channel) const;

  std::uint32_t m_SampleFormat;
  std::uint32_t m_SampleRate = 0;
  std::uint8_t m_Channels = 0;
  std::atomic<double> m_Decay{0.0};
  bool m_Valid = false;
  std::unique_ptr<CSampleFunnel> m_SampleFilter;
  std::unique_ptr<TCountedRef<CZubAudioFilter_Level>[]> m_Levels;
  CZubThreadMutex m_Mutex;
};

}  // namespace halvern
