// Converters from source formats 14 to 19.
#include "samples/sample_converter_family.h"

namespace halvern {

template std::unique_ptr<CSampleFunnel> CreateConverterFrom<14>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<15>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<16>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<17>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<18>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<19>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);

}  // namespace halvern
