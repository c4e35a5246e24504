// Converters from source formats 1 to 7.
#include "samples/sample_converter_family.h"

namespace halvern {

template std::unique_ptr<CSampleFunnel> CreateConverterFrom<1>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<2>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<3>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<4>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<5>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<6>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<7>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);

}  // namespace halvern
