// Gives every channel of an interleaved stream its own filter: sample i goes to filter i modulo the
// channel count, and the rotation carries over from one block to the next.
#pragma once

#include <cstdint>
#include <memory>

#include "samples/sample_funnel.h"

namespace halvern {

class CInterleavedFilter final : public CSampleFunnel::Filter {
 public:
  // Copies `channelCount` references from `filters`; a count below 1 keeps none.
  CInterleavedFilter(std::int32_t channelCount, const TCountedRef<CSampleFunnel::Filter>* filters);

  // A channel without a filter (or a filter without channels) passes the sample through.
  double FilterSample(double sample) override;

  std::int32_t ChannelCount() const { return m_ChannelCount; }
  std::int32_t NextChannel() const { return m_NextChannel; }

 private:
  std::int32_t m_NextChannel = 0;
  std::int32_t m_ChannelCount;
  std::unique_ptr<TCountedRef<CSampleFunnel::Filter>[]> m_Filters;
};

}  // namespace halvern
