// Definition of the per-source converter factories; included only by the translation units that
// instantiate them.
#pragma once

#include <array>
#include <utility>

#include "samples/sample_converter.h"

namespace halvern {

template <std::int32_t FromCode>
std::unique_ptr<CSampleFunnel> CreateConverterFrom(
    std::uint32_t toCode, const TCountedRef<CSampleFunnel::Filter>& filter) {
  using Maker = std::unique_ptr<CSampleFunnel> (*)(const TCountedRef<CSampleFunnel::Filter>&);
  static constexpr auto kMakers = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Maker, sizeof...(I)>{+[](const TCountedRef<CSampleFunnel::Filter>& f)
                                               -> std::unique_ptr<CSampleFunnel> {
      return std::make_unique<TSampleConverter<TFormatTraits<FromCode>,
                                               TFormatTraits<static_cast<std::int32_t>(I) + 1>>>(f);
    }...};
  }
  (std::make_index_sequence<kLastFormatCode>{});
  if (toCode < kFirstFormatCode || toCode > kLastFormatCode) return nullptr;
  return kMakers[toCode - 1](filter);
}

}  // namespace halvern
