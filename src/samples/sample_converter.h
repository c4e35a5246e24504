// TSampleConverter<From, To>: the converter of one ordered pair of formats. Each sample is decoded
// to a double by the source's rule, passed through the filter when there is one, and encoded by the
// target's rule. Without a filter the loop inlines both rules (no per-sample indirect call).
#pragma once

#include <cstdint>
#include <memory>

#include "samples/sample_codec.h"
#include "samples/sample_funnel.h"
#include "samples/sample_kernels.h"
#include "samples/sample_traits.h"

namespace halvern {

// The rule of a pair: how a sample is decoded before the filter, encoded after it, and how a
// filterless run is converted. Most pairs just chain the two format rules.
template <class From, class To>
struct TPairRule {
  static double Decode(const unsigned char* p) { return TSampleCodec<From>::Decode(p); }
  static void Encode(unsigned char* p, double d) { TSampleCodec<To>::Encode(p, d); }

  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    constexpr int kIn = TSampleCodec<From>::kWidth;
    constexpr int kOut = TSampleCodec<To>::kWidth;
    int i = 0;
    for (; i + 4 <= count; i += 4, src += 4 * kIn, dst += 4 * kOut) {
      Encode(dst, Decode(src));
      Encode(dst + kOut, Decode(src + kIn));
      Encode(dst + 2 * kOut, Decode(src + 2 * kIn));
      Encode(dst + 3 * kOut, Decode(src + 3 * kIn));
    }
    for (; i < count; ++i, src += kIn, dst += kOut) Encode(dst, Decode(src));
  }
};

// Short (either byte order) into float or into short of the other order: the sample is x / 32768
// on the way in, not the full-range (2x + 1) / 65535.
template <class From>
struct TShortSourceRule {
  static double Decode(const unsigned char* p) {
    return static_cast<double>(TStorageIO<typename From::StorageType>::Read(p)) * 0x1p-15;
  }
};

template <class From>
struct TShortToFloatRule : TShortSourceRule<From> {
  static void Encode(unsigned char* p, double d) { TSampleCodec<FloatTraits>::Encode(p, d); }
};

template <class From, class To>
struct TShortSwapRule : TShortSourceRule<From> {
  static void Encode(unsigned char* p, double d) {
    TStorageIO<typename To::StorageType>::Write(p, TruncToInt64(d * 32767.0));
  }
  // Without a filter the pair is a plain exchange of the two bytes of every sample.
  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    sample_kernels::Swap16(dst, src, count);
  }
};

template <>
struct TPairRule<Int16Traits, FloatTraits> : TShortToFloatRule<Int16Traits> {
  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    sample_kernels::Int16ToFloat(dst, src, count);
  }
};
template <>
struct TPairRule<Swapped16Traits, FloatTraits> : TShortToFloatRule<Swapped16Traits> {
  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    sample_kernels::Swapped16ToFloat(dst, src, count);
  }
};
template <>
struct TPairRule<Int16Traits, Swapped16Traits> : TShortSwapRule<Int16Traits, Swapped16Traits> {};
template <>
struct TPairRule<Swapped16Traits, Int16Traits> : TShortSwapRule<Swapped16Traits, Int16Traits> {};

// Generic rules, with a vector kernel for the hot capture/render pairs.
template <>
struct TPairRule<Packed24Traits, FloatTraits> {
  static double Decode(const unsigned char* p) { return TSampleCodec<Packed24Traits>::Decode(p); }
  static void Encode(unsigned char* p, double d) { TSampleCodec<FloatTraits>::Encode(p, d); }
  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    sample_kernels::Packed24ToFloat(dst, src, count);
  }
};
template <>
struct TPairRule<FloatTraits, Int32Traits> {
  static double Decode(const unsigned char* p) { return TSampleCodec<FloatTraits>::Decode(p); }
  static void Encode(unsigned char* p, double d) { TSampleCodec<Int32Traits>::Encode(p, d); }
  static void Run(unsigned char* dst, const unsigned char* src, int count) {
    sample_kernels::FloatToInt32(dst, src, count);
  }
};

template <class From, class To>
class TSampleConverter final : public CSampleFunnel {
 public:
  explicit TSampleConverter(const TCountedRef<Filter>& filter)
      : CSampleFunnel(From::kCode, To::kCode, filter) {}

  void Convert(void* dst, const void* src, int count) override {
    if (count <= 0) return;
    auto* out = static_cast<unsigned char*>(dst);
    const auto* in = static_cast<const unsigned char*>(src);
    Filter* filter = m_Filter.Get();
    if (!filter) {
      TPairRule<From, To>::Run(out, in, count);
      return;
    }
    constexpr int kIn = kTraitsWidth<From>;
    constexpr int kOut = kTraitsWidth<To>;
    for (int i = 0; i < count; ++i, in += kIn, out += kOut) {
      TPairRule<From, To>::Encode(out, filter->FilterSample(TPairRule<From, To>::Decode(in)));
    }
  }
};

// The per-source factories, one instantiation per source format (spread over a few translation
// units to keep each compile short).
template <std::int32_t FromCode>
std::unique_ptr<CSampleFunnel> CreateConverterFrom(
    std::uint32_t toCode, const TCountedRef<CSampleFunnel::Filter>& filter);

}  // namespace halvern
