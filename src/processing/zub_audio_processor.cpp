#include "processing/zub_audio_processor.h"

#include "samples/interleaved_filter.h"
#include "samples/sample_format.h"

namespace halvern {

CZubAudioProcessor::CZubAudioProcessor(std::uint32_t sampleFormat, int channels,
                                       std::uint32_t sampleRate)
    : m_SampleFormat(sampleFormat) {
  if (channels < 1 || channels > kMaxChannels) return;
  m_Valid = true;
  m_Channels = static_cast<std::uint8_t>(channels);
  m_SampleRate = sampleRate;
  m_Levels = std::make_unique<TCountedRef<CZubAudioFilter_Level>[]>(m_Channels);
  TCountedRef<CSampleFunnel::Filter> filters[kMaxChannels];
  for (int i = 0; i < channels; ++i) {
    m_Levels[i] = new CZubAudioFilter_Level(sampleRate);
    filters[i] = m_Levels[i].Get();
  }
  TCountedRef<CSampleFunnel::Filter> interleaved = new CInterleavedFilter(channels, filters);
  m_SampleFilter = CSampleFunnel::CreateFilter(sampleFormat, interleaved);
}

CZubAudioProcessor::~CZubAudioProcessor() { m_Valid = false; }

// Channels below the count address one filter; -1 is only meaningful where a caller allows it.
bool CZubAudioProcessor::IsChannel(std::int32_t channel) const {
  return channel >= 0 && channel < m_Channels;
}

bool CZubAudioProcessor::GetDecay(double& decibelsPerSecond) {
  decibelsPerSecond = m_Decay.load(std::memory_order_relaxed);
  return true;
}

bool CZubAudioProcessor::SetDecay(double decibelsPerSecond) {
  // Written as a negated comparison so that NaN is refused too.
  if (!m_Valid || !(decibelsPerSecond > 0.0) || !m_Levels) return false;
  m_Decay.store(decibelsPerSecond, std::memory_order_relaxed);
  // The meters release once per millisecond step, so the per-step decay is a thousandth.
  for (int i = 0; i < m_Channels; ++i) m_Levels[i]->SetDecayDb(decibelsPerSecond / 1000.0);
  return true;
}

double CZubAudioProcessor::GetPeak(std::int32_t channel) {
  if (!m_Valid || (channel != kAllChannels && !IsChannel(channel))) return 0.0;
  CZubThreadMutexLock lock(m_Mutex);
  if (channel != kAllChannels) return m_Levels[channel]->GetPeak();
  double sum = 0.0;
  for (int i = 0; i < m_Channels; ++i) sum += m_Levels[i]->GetPeak();
  return sum / m_Channels;
}

double CZubAudioProcessor::GetPeakDb(std::int32_t channel) { return ZubPeakToDb(GetPeak(channel)); }

void CZubAudioProcessor::Process(void* data, std::uint32_t byteCount) {
  if (!m_Valid || data == nullptr) return;
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_SampleFilter) return;
  const std::int32_t width = SampleWidth(m_SampleFormat);
  if (width <= 0) return;
  m_SampleFilter->Convert(data, data,
                          static_cast<int>(byteCount / static_cast<std::uint32_t>(width)));
}

double CZubAudioProcessor::GetGain(std::int32_t channel) {
  if (!m_Valid || !IsChannel(channel)) return 0.0;
  return m_Levels[channel]->GetGain();
}

double CZubAudioProcessor::GetGainDb(std::int32_t channel) {
  return ZubLinearToDb(GetGain(channel));
}

bool CZubAudioProcessor::SetGain(double gain, std::int32_t channel) {
  if (!m_Valid || (channel != kAllChannels && !IsChannel(channel))) return false;
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_Levels) return false;
  if (channel != kAllChannels) {
    m_Levels[channel]->SetGain(gain);
    return true;
  }
  for (int i = 0; i < m_Channels; ++i) m_Levels[i]->SetGain(gain);
  return true;
}

bool CZubAudioProcessor::SetGainDb(double decibels, std::int32_t channel) {
  return SetGain(ZubDbToLinear(decibels), channel);
}

void CZubAudioProcessor::Reset() {
  if (!m_Valid || m_Channels < 1) return;
  for (int i = 0; i < m_Channels; ++i) m_Levels[i]->Reset();
}

}  // namespace halvern
