#include "samples/interleaved_filter.h"

namespace halvern {

CInterleavedFilter::CInterleavedFilter(std::int32_t channelCount,
                                       const TCountedRef<CSampleFunnel::Filter>* filters)
    : m_ChannelCount(channelCount < 1 ? 0 : channelCount) {
  if (m_ChannelCount == 0) return;
  m_Filters = std::make_unique<TCountedRef<CSampleFunnel::Filter>[]>(m_ChannelCount);
  for (std::int32_t i = 0; i < m_ChannelCount; ++i) m_Filters[i] = filters[i];
}

double CInterleavedFilter::FilterSample(double sample) {
  if (m_ChannelCount == 0) return sample;
  CSampleFunnel::Filter* filter = m_Filters[m_NextChannel].Get();
  if (++m_NextChannel == m_ChannelCount) m_NextChannel = 0;
  return filter ? filter->FilterSample(sample) : sample;
}

}  // namespace halvern
