#include "samples/float_short_quantizer.h"

#include <cstring>

#include "base/error_codes.h"
#include "samples/sample_format.h"
#include "samples/sample_kernels.h"
#include "samples/sample_traits.h"

namespace halvern {

namespace {

std::uint16_t QuantizeFiltered(double d) {
  if (d <= -1.0) return static_cast<std::uint16_t>(-32768);
  if (d > 1.0) return 32767;
  if (d != d) return 0;
  return static_cast<std::uint16_t>(static_cast<std::int16_t>(d * 32767.0));
}

}  // namespace

CFloatShortQuantizer::CFloatShortQuantizer(std::int32_t channels, const TCountedRef<Filter>& filter,
                                           bool swap)
    : CSampleFunnel(kFormatFloat, swap ? kFormatSwapped16 : kFormatInt16, filter),
      m_Channels(channels),
      m_Swap(swap) {}

void CFloatShortQuantizer::Convert(void* dst, const void* src, int count) {
  if (count <= 0) return;
  // No frame can be formed without channels: treated like a partial frame.
  if (m_Channels < 1 || count % m_Channels != 0) throw kErrBadArgument;
  auto* out = static_cast<unsigned char*>(dst);
  const auto* in = static_cast<const unsigned char*>(src);
  Filter* filter = m_Filter.Get();
  if (!filter) {
    sample_kernels::QuantizeFloatToInt16(out, in, count, m_Swap);
    return;
  }
  // An attached filter acts here as in every other converter: on the widened sample, before the
  // clipping quantization.
  for (int i = 0; i < count; ++i) {
    float x;
    std::memcpy(&x, in + 4 * i, sizeof x);
    const std::uint16_t y = QuantizeFiltered(filter->FilterSample(static_cast<double>(x)));
    sample_bytes::Store(out + 2 * i, m_Swap ? sample_bytes::Swap16(y) : y);
  }
}

}  // namespace halvern
