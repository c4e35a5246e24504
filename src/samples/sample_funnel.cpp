#include "samples/sample_funnel.h"

#include <array>
#include <utility>

#include "samples/float_short_quantizer.h"
#include "samples/sample_converter.h"
#include "samples/sample_filter.h"

namespace halvern {

namespace {

using Creator = std::unique_ptr<CSampleFunnel> (*)(std::uint32_t,
                                                   const TCountedRef<CSampleFunnel::Filter>&);

constexpr auto kCreators = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<Creator, sizeof...(I)>{
      &CreateConverterFrom<static_cast<std::int32_t>(I) + 1>...};
}
(std::make_index_sequence<kLastFormatCode>{});

}  // namespace

std::unique_ptr<CSampleFunnel> CSampleFunnel::Create(const std::uint32_t& fromCode,
                                                     const std::uint32_t& toCode,
                                                     std::uint32_t channels,
                                                     const TCountedRef<Filter>& filter) {
  if (fromCode == kFormatFloat && (toCode == kFormatInt16 || toCode == kFormatSwapped16)) {
    return std::make_unique<CFloatShortQuantizer>(static_cast<std::int32_t>(channels), filter,
                                                  toCode == kFormatSwapped16);
  }
  if (!IsValidFormatCode(fromCode)) return nullptr;
  return kCreators[fromCode - 1](toCode, filter);
}

std::unique_ptr<CSampleFunnel> CSampleFunnel::CreateFilter(const std::uint32_t& code,
                                                           const TCountedRef<Filter>& filter) {
  switch (code) {
    case kFormatInt8:
      return std::make_unique<TSampleFilter<Int8Traits>>(filter);
    case kFormatInt16:
      return std::make_unique<TSampleFilter<Int16Traits>>(filter);
    case kFormatInt32:
      return std::make_unique<TSampleFilter<Int32Traits>>(filter);
    case kFormatFloat:
      return std::make_unique<TSampleFilter<FloatTraits>>(filter);
    case kFormatDouble:
      return std::make_unique<TSampleFilter<DoubleTraits>>(filter);
    default:
      return nullptr;
  }
}

}  // namespace halvern
