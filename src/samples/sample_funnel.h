// The converter interface: a funnel turns a run of samples of one format into the same number of
// samples of another, optionally passing each through a per-sample filter.
#pragma once

#include <cstdint>
#include <memory>

#include "base/counted_object.h"

namespace halvern {

class CSampleFunnel {
 public:
  // A per-sample filter on the normalised scale (full scale about -1 to +1). It may keep state
  // between calls; one thread drives a filter chain at a time.
  class Filter : public virtual CCountedObject {
   public:
    // Named FilterSample because a member may not carry the name of its class.
    virtual double FilterSample(double sample) = 0;
  };

  CSampleFunnel(std::uint32_t sourceFormat, std::uint32_t targetFormat,
                const TCountedRef<Filter>& filter)
      : m_SourceFormat(sourceFormat), m_TargetFormat(targetFormat), m_Filter(filter) {}
  CSampleFunnel(const CSampleFunnel&) = delete;
  CSampleFunnel& operator=(const CSampleFunnel&) = delete;
  virtual ~CSampleFunnel() = default;

  // Reads `count` samples (frames times channels) from `src` and writes as many to `dst`; the
  // buffers are distinct. A count of zero or less writes nothing.
  virtual void Convert(void* dst, const void* src, int count) = 0;

  // The converter from `fromCode` to `toCode`, or null when either code is no format (outside
  // 1..26). Float to short (either byte order) is the clipping quantizer; `channels` matters only
  // there.
  static std::unique_ptr<CSampleFunnel> Create(const std::uint32_t& fromCode,
                                               const std::uint32_t& toCode, std::uint32_t channels,
                                               const TCountedRef<Filter>& filter);

  // The in-place filter runner for codes 1, 2, 5, 6 and 7; null for every other code.
  static std::unique_ptr<CSampleFunnel> CreateFilter(const std::uint32_t& code,
                                                     const TCountedRef<Filter>& filter);

  std::uint32_t SourceFormat() const { return m_SourceFormat; }
  std::uint32_t TargetFormat() const { return m_TargetFormat; }
  const TCountedRef<Filter>& GetFilter() const { return m_Filter; }

 protected:
  std::uint32_t m_SourceFormat;
  std::uint32_t m_TargetFormat;
  TCountedRef<Filter> m_Filter;
};

}  // namespace halvern
