// The per-format rule that turns a stored sample into a double on the normalised scale (full scale
// about -1 to +1) and back. All arithmetic is IEEE double with multiply and add kept apart (the
// build forbids contraction); integer results are truncated toward zero and stored by their low
// bits.
#pragma once

#include <cstdint>

#include "samples/sample_traits.h"

namespace halvern {

// Truncation toward zero without undefined behaviour: values beyond the 64-bit range saturate and
// NaN gives 0. Only the storage's low bits of the result are kept, so out-of-range results wrap
// within the target width.
inline std::int64_t TruncToInt64(double v) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (v >= -kTwoTo63 && v < kTwoTo63) return static_cast<std::int64_t>(v);
  if (v != v) return 0;
  return v < 0 ? INT64_MIN : INT64_MAX;
}

enum class ESampleRule { kFullRange, kSigned24, kWide25, kSwappedWide25, kFloating };

constexpr ESampleRule SampleRuleOf(std::int32_t code) {
  switch (code) {
    case kFormatPacked24:
    case kFormatWide24:
    case kFormatSwappedPacked24:
    case kFormatSwappedWide24:
      return ESampleRule::kSigned24;
    case kFormatWide25:
      return ESampleRule::kWide25;
    case kFormatSwappedWide25:
      return ESampleRule::kSwappedWide25;
    case kFormatFloat:
    case kFormatDouble:
    case kFormatSwappedFloat:
    case kFormatSwappedDouble:
      return ESampleRule::kFloating;
    default:
      return ESampleRule::kFullRange;
  }
}

// Constants of the full-range rule: decode d = x * scale + offset maps Min to -1 and Max to +1;
// encode y = trunc((d - offset) * half). The offset is computed as 1 - Max * scale in double on
// purpose: for the signed formats it is not the correctly rounded 1/(Max - Min), and results depend
// on that.
template <class Traits>
struct TFullRangeScale {
  static constexpr double kScale = 2.0 / static_cast<double>(Traits::kMax - Traits::kMin);
  static constexpr double kOffset = 1.0 - static_cast<double>(Traits::kMax) * kScale;
  static constexpr double kHalf = static_cast<double>(Traits::kMax - Traits::kMin) / 2.0;
};

template <class Traits>
struct TSampleCodec {
  using IO = TStorageIO<typename Traits::StorageType>;
  static constexpr ESampleRule kRule = SampleRuleOf(Traits::kCode);
  static constexpr int kWidth = kTraitsWidth<Traits>;

  static double Decode(const unsigned char* p) {
    const auto x = static_cast<double>(IO::Read(p));
    if constexpr (kRule == ESampleRule::kFullRange) {
      return x * TFullRangeScale<Traits>::kScale + TFullRangeScale<Traits>::kOffset;
    } else if constexpr (kRule == ESampleRule::kSigned24) {
      return x * 0x1p-23;
    } else if constexpr (kRule == ESampleRule::kFloating) {
      return x;
    } else {
      return x * 0x1p-24;
    }
  }

  static void Encode(unsigned char* p, double d) {
    if constexpr (kRule == ESampleRule::kFullRange) {
      using S = TFullRangeScale<Traits>;
      IO::Write(p, TruncToInt64((d - S::kOffset) * S::kHalf));
    } else if constexpr (kRule == ESampleRule::kSigned24) {
      IO::Write(p, TruncToInt64(d * 8388607.0));
    } else if constexpr (kRule == ESampleRule::kWide25) {
      IO::Write(p, TruncToInt64(d * 16777215.0));
    } else if constexpr (kRule == ESampleRule::kSwappedWide25) {
      IO::Write(p, TruncToInt64(d * 16777216.0));
    } else {
      IO::Write(p, d);
    }
  }
};

}  // namespace halvern
