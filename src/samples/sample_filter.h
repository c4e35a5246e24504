// TSampleFilter<Traits>: runs a per-sample filter over a buffer in place, decoding and re-encoding
// each sample by its format's rule.
#pragma once

#include "samples/sample_codec.h"
#include "samples/sample_funnel.h"

namespace halvern {

template <class Traits>
class TSampleFilter final : public CSampleFunnel {
 public:
  explicit TSampleFilter(const TCountedRef<Filter>& filter)
      : CSampleFunnel(Traits::kCode, Traits::kCode, filter) {}

  // Filters `count` samples of `buffer` in place; the source argument is not used.
  void Convert(void* buffer, const void* /*source*/, int count) override {
    Filter* filter = m_Filter.Get();
    if (!filter) return;
    auto* p = static_cast<unsigned char*>(buffer);
    for (int i = 0; i < count; ++i, p += TSampleCodec<Traits>::kWidth) {
      TSampleCodec<Traits>::Encode(p, filter->FilterSample(TSampleCodec<Traits>::Decode(p)));
    }
  }
};

}  // namespace halvern
