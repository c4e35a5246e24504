// Converters from source formats 8 to 13.
#include "samples/sample_converter_family.h"

namespace halvern {

template std::unique_ptr<CSampleFunnel> CreateConverterFrom<8>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<9>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<10>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<11>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<12>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<13>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);

}  // namespace halvern
