// Compile-time description of the 26 sample formats: storage type, value range, code, and for the
// byte-swapped formats the arithmetic type a sample is assembled into. TStorageIO<Storage> holds
// the byte layout of each storage type: how a stored sample reads as a number and how a number is
// stored.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "samples/sample_format.h"

namespace halvern {

// "Native" formats are the little-endian ones; a big-endian host would have to exchange the roles.
static_assert(std::endian::native == std::endian::little, "native sample order is little-endian");

template <class Storage, std::int64_t Min, std::int64_t Max, std::int32_t Code>
struct TSampleTraits {
  using StorageType = Storage;
  static constexpr std::int64_t kMin = Min;
  static constexpr std::int64_t kMax = Max;
  static constexpr std::int32_t kCode = Code;
  static constexpr bool kSwapped = false;
};

template <class Storage, std::int64_t Min, std::int64_t Max, std::int32_t Code, class Native>
struct TSwappedSampleTraits {
  using StorageType = Storage;
  using NativeType = Native;
  static constexpr std::int64_t kMin = Min;
  static constexpr std::int64_t kMax = Max;
  static constexpr std::int32_t kCode = Code;
  static constexpr bool kSwapped = true;
};

// Storage of the formats that have no built-in type: raw bytes in memory order.
struct Packed24 {
  unsigned char bytes[3];
};
struct UnsignedPacked24 {
  unsigned char bytes[3];
};
struct Wide24 {
  unsigned char bytes[4];
};
struct UnsignedWide24 {
  unsigned char bytes[4];
};
struct Wide25 {
  unsigned char bytes[4];
};
struct Swapped8Sample {
  unsigned char bytes[1];
};
struct Swapped16Sample {
  unsigned char bytes[2];
};
struct SwappedPacked24Sample {
  unsigned char bytes[3];
};
struct SwappedWide24Sample {
  unsigned char bytes[4];
};
struct Swapped32Sample {
  unsigned char bytes[4];
};
struct SwappedFloatSample {
  unsigned char bytes[4];
};
struct SwappedDoubleSample {
  unsigned char bytes[8];
};
struct SwappedUnsigned8Sample {
  unsigned char bytes[1];
};
struct SwappedUnsigned16Sample {
  unsigned char bytes[2];
};
struct SwappedUnsignedPacked24Sample {
  unsigned char bytes[3];
};
struct SwappedUnsignedWide24Sample {
  unsigned char bytes[4];
};
struct SwappedUnsigned32Sample {
  unsigned char bytes[4];
};
struct SwappedWide25Sample {
  unsigned char bytes[4];
};

namespace sample_bytes {

template <class T>
inline T Load(const unsigned char* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

template <class T>
inline void Store(unsigned char* p, T value) {
  std::memcpy(p, &value, sizeof(T));
}

inline std::uint16_t Swap16(std::uint16_t v) { return static_cast<std::uint16_t>(v << 8 | v >> 8); }
inline std::uint32_t Swap32(std::uint32_t v) {
  return v << 24 | (v & 0xFF00u) << 8 | (v >> 8 & 0xFF00u) | v >> 24;
}
inline std::uint64_t Swap64(std::uint64_t v) {
  return std::uint64_t{Swap32(static_cast<std::uint32_t>(v))} << 32 |
         Swap32(static_cast<std::uint32_t>(v >> 32));
}

inline std::uint32_t Load24LE(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}
inline std::uint32_t Load24BE(const unsigned char* p) {
  return std::uint32_t{p[2]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[0]} << 16;
}
inline void Store24LE(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
}
inline void Store24BE(unsigned char* p, std::uint32_t v) {
  p[2] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[0] = static_cast<unsigned char>(v >> 16);
}
inline std::int32_t SignExtend24(std::uint32_t v) { return static_cast<std::int32_t>(v << 8) >> 8; }

}  // namespace sample_bytes

// How a stored sample reads as a number and how a number is stored. Integer storages store the low
// bits of a 64-bit result (whatever lies above the storage width is dropped); floating storages
// store their own type.
template <class Word, bool BigEndian, class Value>
struct TWordIO {
  using ValueType = Value;
  using Bits = std::make_unsigned_t<Word>;
  static Bits Order(Bits v) {
    if constexpr (!BigEndian || sizeof(Word) == 1) {
      return v;
    } else if constexpr (sizeof(Word) == 2) {
      return sample_bytes::Swap16(v);
    } else {
      return sample_bytes::Swap32(v);
    }
  }
  static Value Read(const unsigned char* p) {
    return static_cast<Word>(Order(sample_bytes::Load<Bits>(p)));
  }
  static void Write(unsigned char* p, std::int64_t v) {
    sample_bytes::Store(p, Order(static_cast<Bits>(static_cast<std::uint64_t>(v))));
  }
};

template <bool BigEndian, bool Signed>
struct TPacked24IO {
  using ValueType = std::int32_t;
  static std::int32_t Read(const unsigned char* p) {
    const std::uint32_t v = BigEndian ? sample_bytes::Load24BE(p) : sample_bytes::Load24LE(p);
    return Signed ? sample_bytes::SignExtend24(v) : static_cast<std::int32_t>(v);
  }
  static void Write(unsigned char* p, std::int64_t v) {
    const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(v));
    BigEndian ? sample_bytes::Store24BE(p, bits) : sample_bytes::Store24LE(p, bits);
  }
};

template <class Real, bool BigEndian>
struct TRealIO {
  using ValueType = Real;
  using Bits = std::conditional_t<sizeof(Real) == 4, std::uint32_t, std::uint64_t>;
  static Bits Order(Bits v) {
    if constexpr (!BigEndian) {
      return v;
    } else if constexpr (sizeof(Real) == 4) {
      return sample_bytes::Swap32(v);
    } else {
      return sample_bytes::Swap64(v);
    }
  }
  static Real Read(const unsigned char* p) {
    return std::bit_cast<Real>(Order(sample_bytes::Load<Bits>(p)));
  }
  // Narrowing to float rounds to nearest; beyond the float range it gives an infinity (IEEE).
  static void Write(unsigned char* p, double v) {
    sample_bytes::Store(p, Order(std::bit_cast<Bits>(static_cast<Real>(v))));
  }
};
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

template <class Storage>
struct TStorageIO;

template <>
struct TStorageIO<std::int8_t> : TWordIO<std::int8_t, false, std::int32_t> {};
template <>
struct TStorageIO<Swapped8Sample> : TWordIO<std::int8_t, true, std::int32_t> {};
template <>
struct TStorageIO<std::uint8_t> : TWordIO<std::uint8_t, false, std::int32_t> {};
template <>
struct TStorageIO<SwappedUnsigned8Sample> : TWordIO<std::uint8_t, true, std::int32_t> {};
template <>
struct TStorageIO<std::int16_t> : TWordIO<std::int16_t, false, std::int32_t> {};
template <>
struct TStorageIO<Swapped16Sample> : TWordIO<std::int16_t, true, std::int32_t> {};
template <>
struct TStorageIO<std::uint16_t> : TWordIO<std::uint16_t, false, std::int32_t> {};
template <>
struct TStorageIO<SwappedUnsigned16Sample> : TWordIO<std::uint16_t, true, std::int32_t> {};
template <>
struct TStorageIO<std::int32_t> : TWordIO<std::int32_t, false, std::int32_t> {};
template <>
struct TStorageIO<Swapped32Sample> : TWordIO<std::int32_t, true, std::int32_t> {};
template <>
struct TStorageIO<std::uint32_t> : TWordIO<std::uint32_t, false, std::int64_t> {};
template <>
struct TStorageIO<SwappedUnsigned32Sample> : TWordIO<std::uint32_t, true, std::int64_t> {};
// The 25-bit formats take the word whole: bits 24 and up are part of the value.
template <>
struct TStorageIO<Wide25> : TWordIO<std::int32_t, false, std::int32_t> {};
template <>
struct TStorageIO<SwappedWide25Sample> : TWordIO<std::int32_t, true, std::int32_t> {};
template <>
struct TStorageIO<Packed24> : TPacked24IO<false, true> {};
template <>
struct TStorageIO<SwappedPacked24Sample> : TPacked24IO<true, true> {};
template <>
struct TStorageIO<UnsignedPacked24> : TPacked24IO<false, false> {};
template <>
struct TStorageIO<SwappedUnsignedPacked24Sample> : TPacked24IO<true, false> {};
template <>
struct TStorageIO<float> : TRealIO<float, false> {};
template <>
struct TStorageIO<SwappedFloatSample> : TRealIO<float, true> {};
template <>
struct TStorageIO<double> : TRealIO<double, false> {};
template <>
struct TStorageIO<SwappedDoubleSample> : TRealIO<double, true> {};

// Wide24 ignores its pad byte 3 on read and writes the whole word, sign extension included.
template <>
struct TStorageIO<Wide24> : TWordIO<std::uint32_t, false, std::int32_t> {
  static std::int32_t Read(const unsigned char* p) {
    return sample_bytes::SignExtend24(sample_bytes::Load<std::uint32_t>(p));
  }
};

// SwappedWide24 ignores its pad byte 0 on read and always writes it as 0.
template <>
struct TStorageIO<SwappedWide24Sample> : TPacked24IO<true, true> {
  static std::int32_t Read(const unsigned char* p) { return TPacked24IO::Read(p + 1); }
  static void Write(unsigned char* p, std::int64_t v) {
    p[0] = 0;
    TPacked24IO::Write(p + 1, v);
  }
};

// UnsignedWide24 masks its pad byte away on read; its swapped twin reads the whole word unmasked.
// Both write the whole 32-bit result.
template <>
struct TStorageIO<UnsignedWide24> : TWordIO<std::uint32_t, false, std::int64_t> {
  static std::int64_t Read(const unsigned char* p) {
    return sample_bytes::Load<std::uint32_t>(p) & 0xFFFFFFu;
  }
};
template <>
struct TStorageIO<SwappedUnsignedWide24Sample> : TWordIO<std::uint32_t, true, std::int64_t> {};

// The 26 formats.
using Int8Traits = TSampleTraits<std::int8_t, -128, 127, kFormatInt8>;
using Int16Traits = TSampleTraits<std::int16_t, -32768, 32767, kFormatInt16>;
using Packed24Traits = TSampleTraits<Packed24, -8388608, 8388607, kFormatPacked24>;
using Wide24Traits = TSampleTraits<Wide24, -8388608, 8388607, kFormatWide24>;
using Int32Traits = TSampleTraits<std::int32_t, -2147483648LL, 2147483647, kFormatInt32>;
using FloatTraits = TSampleTraits<float, -1, 1, kFormatFloat>;
using DoubleTraits = TSampleTraits<double, -1, 1, kFormatDouble>;
using UInt8Traits = TSampleTraits<std::uint8_t, 0, 255, kFormatUInt8>;
using UInt16Traits = TSampleTraits<std::uint16_t, 0, 65535, kFormatUInt16>;
using UnsignedPacked24Traits =
    TSampleTraits<UnsignedPacked24, 0, 16777215, kFormatUnsignedPacked24>;
using UnsignedWide24Traits = TSampleTraits<UnsignedWide24, 0, 16777215, kFormatUnsignedWide24>;
using UInt32Traits = TSampleTraits<std::uint32_t, 0, 4294967295LL, kFormatUInt32>;
using Swapped8Traits =
    TSwappedSampleTraits<Swapped8Sample, -128, 127, kFormatSwapped8, signed char>;
using Swapped16Traits =
    TSwappedSampleTraits<Swapped16Sample, -32768, 32767, kFormatSwapped16, short>;
using SwappedPacked24Traits =
    TSwappedSampleTraits<SwappedPacked24Sample, -8388608, 8388607, kFormatSwappedPacked24, int>;
using SwappedWide24Traits =
    TSwappedSampleTraits<SwappedWide24Sample, -8388608, 8388607, kFormatSwappedWide24, int>;
using Swapped32Traits =
    TSwappedSampleTraits<Swapped32Sample, -2147483648LL, 2147483647, kFormatSwapped32, int>;
using SwappedFloatTraits =
    TSwappedSampleTraits<SwappedFloatSample, -1, 1, kFormatSwappedFloat, float>;
using SwappedDoubleTraits =
    TSwappedSampleTraits<SwappedDoubleSample, -1, 1, kFormatSwappedDouble, double>;
using SwappedUnsigned8Traits =
    TSwappedSampleTraits<SwappedUnsigned8Sample, 0, 255, kFormatSwappedUnsigned8, unsigned char>;
using SwappedUnsigned16Traits = TSwappedSampleTraits<SwappedUnsigned16Sample, 0, 65535,
                                                     kFormatSwappedUnsigned16, unsigned short>;
using SwappedUnsignedPacked24Traits =
    TSwappedSampleTraits<SwappedUnsignedPacked24Sample, 0, 16777215, kFormatSwappedUnsignedPacked24,
                         unsigned int>;
using SwappedUnsignedWide24Traits =
    TSwappedSampleTraits<SwappedUnsignedWide24Sample, 0, 16777215, kFormatSwappedUnsignedWide24,
                         unsigned int>;
using SwappedUnsigned32Traits = TSwappedSampleTraits<SwappedUnsigned32Sample, 0, 4294967295LL,
                                                     kFormatSwappedUnsigned32, unsigned int>;
using Wide25Traits = TSampleTraits<Wide25, -16777216, 16777215, kFormatWide25>;
using SwappedWide25Traits =
    TSwappedSampleTraits<SwappedWide25Sample, -16777216, 16777215, kFormatSwappedWide25, int>;

// The traits of every code, in code order.
using FormatTraitsList =
    std::tuple<Int8Traits, Int16Traits, Packed24Traits, Wide24Traits, Int32Traits, FloatTraits,
               DoubleTraits, UInt8Traits, UInt16Traits, UnsignedPacked24Traits,
               UnsignedWide24Traits, UInt32Traits, Swapped8Traits, Swapped16Traits,
               SwappedPacked24Traits, SwappedWide24Traits, Swapped32Traits, SwappedFloatTraits,
               SwappedDoubleTraits, SwappedUnsigned8Traits, SwappedUnsigned16Traits,
               SwappedUnsignedPacked24Traits, SwappedUnsignedWide24Traits, SwappedUnsigned32Traits,
               Wide25Traits, SwappedWide25Traits>;

template <std::int32_t Code>
using TFormatTraits = std::tuple_element_t<Code - 1, FormatTraitsList>;

template <class Traits>
inline constexpr std::int32_t kTraitsWidth =
    static_cast<std::int32_t>(sizeof(typename Traits::StorageType));

namespace detail {
template <std::size_t... I>
constexpr bool CodesMatchPositions(std::index_sequence<I...>) {
  return ((std::tuple_element_t<I, FormatTraitsList>::kCode == static_cast<std::int32_t>(I) + 1) &&
          ...) &&
         ((kTraitsWidth<std::tuple_element_t<I, FormatTraitsList>> ==
           SampleWidth(static_cast<std::int64_t>(I) + 1)) &&
          ...);
}
}  // namespace detail
static_assert(detail::CodesMatchPositions(std::make_index_sequence<kLastFormatCode>{}));

}  // namespace halvern
