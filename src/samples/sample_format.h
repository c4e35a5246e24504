// Sample format codes and their storage widths. The compile-time traits types live in
// samples/sample_traits.h; run-time code passes only the bare code.
#pragma once

#include <cstdint>

namespace halvern {

// Code 0 stands for a format outside the list; 1..26 are the known formats.
inline constexpr std::int32_t kFormatUnknown = 0;
inline constexpr std::int32_t kFirstFormatCode = 1;
inline constexpr std::int32_t kLastFormatCode = 26;

inline constexpr std::int32_t kFormatInt8 = 1;
inline constexpr std::int32_t kFormatInt16 = 2;
inline constexpr std::int32_t kFormatPacked24 = 3;
inline constexpr std::int32_t kFormatWide24 = 4;
inline constexpr std::int32_t kFormatInt32 = 5;
inline constexpr std::int32_t kFormatFloat = 6;
inline constexpr std::int32_t kFormatDouble = 7;
inline constexpr std::int32_t kFormatUInt8 = 8;
inline constexpr std::int32_t kFormatUInt16 = 9;
inline constexpr std::int32_t kFormatUnsignedPacked24 = 10;
inline constexpr std::int32_t kFormatUnsignedWide24 = 11;
inline constexpr std::int32_t kFormatUInt32 = 12;
inline constexpr std::int32_t kFormatSwapped8 = 13;
inline constexpr std::int32_t kFormatSwapped16 = 14;
inline constexpr std::int32_t kFormatSwappedPacked24 = 15;
inline constexpr std::int32_t kFormatSwappedWide24 = 16;
inline constexpr std::int32_t kFormatSwapped32 = 17;
inline constexpr std::int32_t kFormatSwappedFloat = 18;
inline constexpr std::int32_t kFormatSwappedDouble = 19;
inline constexpr std::int32_t kFormatSwappedUnsigned8 = 20;
inline constexpr std::int32_t kFormatSwappedUnsigned16 = 21;
inline constexpr std::int32_t kFormatSwappedUnsignedPacked24 = 22;
inline constexpr std::int32_t kFormatSwappedUnsignedWide24 = 23;
inline constexpr std::int32_t kFormatSwappedUnsigned32 = 24;
inline constexpr std::int32_t kFormatWide25 = 25;
inline constexpr std::int32_t kFormatSwappedWide25 = 26;

// Storage bytes of one sample, indexed by code 0..27 (0 at both ends: no format).
inline constexpr std::int32_t kSampleWidths[28] = {0, 1, 2, 3, 4, 4, 4, 8, 1, 2, 3, 4, 4, 1,
                                                   2, 3, 4, 4, 4, 8, 1, 2, 3, 4, 4, 4, 4, 0};

constexpr std::int32_t SampleWidth(std::int64_t code) {
  return code >= 0 && code < 28 ? kSampleWidths[code] : 0;
}

constexpr bool IsValidFormatCode(std::int64_t code) {
  return code >= kFirstFormatCode && code <= kLastFormatCode;
}

}  // namespace halvern
