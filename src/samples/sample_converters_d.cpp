// Converters from source formats 20 to 26.
#include "samples/sample_converter_family.h"

namespace halvern {

template std::unique_ptr<CSampleFunnel> CreateConverterFrom<20>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<21>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<22>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<23>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<24>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<25>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);
template std::unique_ptr<CSampleFunnel> CreateConverterFrom<26>(
    std::uint32_t, const TCountedRef<CSampleFunnel::Filter>&);

}  // namespace halvern
