#include "samples/sample_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "samples/float_short_quantizer.h"
#include "samples/format_model.h"
#include "samples/sample_funnel.h"
#include "samples/test_filters.h"

namespace halvern {
namespace {

using Bytes = std::vector<unsigned char>;
using format_model::Get;

// Interesting stored samples of one format, back to back: the range ends and their neighbours,
// zero, small values, pad-byte garbage where the layout has a pad, and random bytes.
Bytes SampleSet(int code) {
  const auto& f = Get(code);
  Bytes out;
  auto put = [&](auto write) {
    out.resize(out.size() + f.width);
    write(out.data() + out.size() - f.width);
  };
  if (f.kind == format_model::Kind::kFloat || f.kind == format_model::Kind::kDouble) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double d : {-1.0,          1.0,
                     0.0,           -0.0,
                     0.5,           -0.5,
                     1.5,           -2.0,
                     0.99999,       -0.99999,
                     1e-40,         -1e-45,
                     3.0e38,        -3.0e38,
                     1e300,         4294967296.0,
                     -2147483649.0, 1e19,
                     -1e19,         inf,
                     -inf,          std::numeric_limits<double>::quiet_NaN(),
                     1.0 / 65535,   3.0517578125e-05}) {
      put([&](unsigned char* p) { format_model::Encode(code, d, p); });
    }
  } else {
    const bool isSigned = format_model::IsSigned(code);
    const int bits = code == 25 || code == 26                              ? 25
                     : code == 4 || code == 16 || code == 11 || code == 23 ? 24
                                                                           : 8 * f.width;
    const std::int64_t lo = isSigned ? -(std::int64_t{1} << (bits - 1)) : 0;
    const std::int64_t hi =
        isSigned ? (std::int64_t{1} << (bits - 1)) - 1 : (std::int64_t{1} << bits) - 1;
    for (std::int64_t v : {lo, lo + 1, hi, hi - 1, std::int64_t{0}, std::int64_t{1},
                           std::int64_t{2}, (lo + hi) / 2, (lo + hi) / 2 + 1, lo / 3, hi / 3}) {
      if (v < lo || v > hi) continue;
      put([&](unsigned char* p) { format_model::WriteInteger(code, isSigned ? v : v, p); });
      if (isSigned && v != 0) {
        put([&](unsigned char* p) { format_model::WriteInteger(code, -v < lo ? lo : -v, p); });
      }
    }
  }
  std::mt19937 random(static_cast<unsigned>(code) * 7919u);
  for (int i = 0; i < 40 * f.width; ++i) out.push_back(static_cast<unsigned char>(random()));
  out.resize(out.size() - out.size() % f.width);
  return out;
}

std::string Hex(const unsigned char* p, int n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

enum class FilterMode { kNone, kPassThrough, kTriple };

// Runs every ordered pair through the factory and compares each output sample with the model.
void CheckEveryPair(FilterMode mode) {
  TCountedRef<CSampleFunnel::Filter> filter;
  if (mode == FilterMode::kPassThrough) filter = new test_filters::CScale(1.0);
  if (mode == FilterMode::kTriple) filter = new test_filters::CScale(3.0);
  const double factor = mode == FilterMode::kTriple ? 3.0 : 1.0;
  for (std::uint32_t from = 1; from <= 26; ++from) {
    const Bytes src = SampleSet(static_cast<int>(from));
    const int inWidth = Get(static_cast<int>(from)).width;
    const int count = static_cast<int>(src.size()) / inWidth;
    for (std::uint32_t to = 1; to <= 26; ++to) {
      const int outWidth = Get(static_cast<int>(to)).width;
      auto converter = CSampleFunnel::Create(from, to, 1, filter);
      ASSERT_NE(converter, nullptr) << from << " -> " << to;
      EXPECT_EQ(converter->SourceFormat(), from);
      EXPECT_EQ(converter->TargetFormat(), to);
      Bytes dst(static_cast<std::size_t>(count) * outWidth + 1, 0xA5);
      converter->Convert(dst.data(), src.data(), count);
      EXPECT_EQ(dst.back(), 0xA5) << "wrote past the end: " << from << " -> " << to;
      int mismatches = 0;
      for (int i = 0; i < count && mismatches < 3; ++i) {
        unsigned char expected[8];
        format_model::ConvertOne(static_cast<int>(from), static_cast<int>(to), &src[i * inWidth],
                                 expected, mode != FilterMode::kNone,
                                 [&](double d) { return d * factor; });
        if (std::memcmp(expected, &dst[i * outWidth], outWidth) != 0) {
          ++mismatches;
          ADD_FAILURE() << from << " -> " << to << " sample " << Hex(&src[i * inWidth], inWidth)
                        << ": got " << Hex(&dst[i * outWidth], outWidth) << ", expected "
                        << Hex(expected, outWidth);
        }
      }
    }
  }
}

TEST(SampleConverter, EveryPairFollowsItsRuleWithoutFilter) { CheckEveryPair(FilterMode::kNone); }

TEST(SampleConverter, EveryPairFollowsItsRuleWithPassThroughFilter) {
  CheckEveryPair(FilterMode::kPassThrough);
}

TEST(SampleConverter, EveryPairWrapsOrClipsOutOfRangeFilterResultsAsDocumented) {
  CheckEveryPair(FilterMode::kTriple);
}

// Converts `values` (stored by `write` in the source format) and reads results with `read`.
template <class In, class Out>
std::vector<Out> ConvertAll(std::uint32_t from, std::uint32_t to, const std::vector<In>& values,
                            TCountedRef<CSampleFunnel::Filter> filter = {}) {
  auto converter = CSampleFunnel::Create(from, to, 1, filter);
  std::vector<Out> out(values.size());
  converter->Convert(out.data(), values.data(), static_cast<int>(values.size()));
  return out;
}

TEST(SampleConverter, Int8ToInt16MapsEndsAndCentreByTheFullRangeRule) {
  EXPECT_EQ((ConvertAll<std::int8_t, std::int16_t>(1, 2, {-128, 127, 0, -1, 1})),
            (std::vector<std::int16_t>{-32768, 32767, 127, -129, 384}));
}

TEST(SampleConverter, Int16ToUInt8AndInt8KeepTheEndsAndTruncateTheMiddle) {
  EXPECT_EQ((ConvertAll<std::int16_t, std::uint8_t>(2, 8, {-32768, 32767, 0})),
            (std::vector<std::uint8_t>{0, 255, 127}));
  EXPECT_EQ((ConvertAll<std::int16_t, std::int8_t>(2, 1, {-32768, 32767, -1, 0, 1})),
            (std::vector<std::int8_t>{-128, 127, 0, 0, 0}));
}

TEST(SampleConverter, Packed24AndInt16UseTheTwoDifferentScales) {
  const std::vector<unsigned char> packed = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80};
  auto toShort = CSampleFunnel::Create(3, 2, 1, {});
  std::int16_t shorts[2];
  toShort->Convert(shorts, packed.data(), 2);
  EXPECT_EQ(shorts[0], 32766);
  EXPECT_EQ(shorts[1], -32768);

  const std::vector<std::int16_t> in = {-32768, 0, 32767};
  unsigned char out[9];
  CSampleFunnel::Create(2, 3, 1, {})->Convert(out, in.data(), 3);
  EXPECT_EQ(Hex(out, 9),
            "010080"
            "800000"
            "FFFF7F");  // -8388607, 128, 8388607
}

TEST(SampleConverter, IdentityWithFilterMovesPacked24OneStepTowardZero) {
  TCountedRef<CSampleFunnel::Filter> pass(new test_filters::CScale(1.0));
  const std::vector<unsigned char> packed = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80};
  unsigned char out[6];
  CSampleFunnel::Create(3, 3, 1, pass)->Convert(out, packed.data(), 2);
  EXPECT_EQ(Hex(out, 6),
            "FEFF7F"
            "010080");  // 8388606, -8388607
}

TEST(SampleConverter, ShortToFloatIsXOver32768) {
  EXPECT_EQ((ConvertAll<std::int16_t, float>(2, 6, {32767, -32768, 1, 0})),
            (std::vector<float>{0.999969482421875f, -1.0f, 3.0517578125e-05f, 0.0f}));
  const std::vector<std::uint16_t> swapped = {0xFF7F, 0x0080};  // 32767, -32768 big-endian
  EXPECT_EQ((ConvertAll<std::uint16_t, float>(14, 6, swapped)),
            (std::vector<float>{0.999969482421875f, -1.0f}));
}

TEST(SampleConverter, ShortToSwappedShortExchangesBytesWithoutFilterAndRescalesWithOne) {
  EXPECT_EQ((ConvertAll<std::uint16_t, std::uint16_t>(2, 14, {0x1234, 0x8000, 0x7FFF})),
            (std::vector<std::uint16_t>{0x3412, 0x0080, 0xFF7F}));
  TCountedRef<CSampleFunnel::Filter> pass(new test_filters::CScale(1.0));
  // trunc(x / 32768 * 32767): 32767 -> 32766, -32768 -> -32767, 2 -> 1
  EXPECT_EQ((ConvertAll<std::int16_t, std::uint16_t>(2, 14, {32767, -32768, 2}, pass)),
            (std::vector<std::uint16_t>{0xFE7F, 0x0180, 0x0100}));
}

TEST(SampleConverter, FloatToInt32AndUInt8MapTheEnds) {
  EXPECT_EQ((ConvertAll<float, std::int32_t>(6, 5, {-1.0f, 0.0f, 1.0f})),
            (std::vector<std::int32_t>{INT32_MIN, 0, INT32_MAX}));
  EXPECT_EQ((ConvertAll<float, std::uint8_t>(6, 8, {-1.0f, 0.0f, 1.0f})),
            (std::vector<std::uint8_t>{0, 127, 255}));
}

TEST(SampleConverter, NaNIntoAnIntegerTargetStoresTheEncodingOfZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // trunc(NaN) is taken as 0 before the full-range offset would matter.
  EXPECT_EQ((ConvertAll<float, std::int32_t>(6, 5, {nan})), (std::vector<std::int32_t>{0}));
  EXPECT_EQ((ConvertAll<double, std::uint32_t>(7, 12, {std::nan("")})),
            (std::vector<std::uint32_t>{0}));
}

TEST(SampleConverter, OutOfRangeResultsKeepTheLowBitsOfTheTruncatedValue) {
  // 2.0 -> trunc((2 - 2^-32) * 2147483647.5) = 4294967294 = 0xFFFFFFFE, stored as -2.
  EXPECT_EQ((ConvertAll<float, std::int32_t>(6, 5, {2.0f})), (std::vector<std::int32_t>{-2}));
  // Beyond 2^63 the value saturates first: the low 16 bits of INT64_MAX are all ones.
  EXPECT_EQ((ConvertAll<double, std::uint16_t>(7, 9, {1e30})),
            (std::vector<std::uint16_t>{0xFFFF}));
}

// Counts the values of a format that the identity conversion with a pass-through filter changes.
template <class T>
int ChangedByRoundTrip(std::uint32_t code, std::vector<T> all) {
  TCountedRef<CSampleFunnel::Filter> pass(new test_filters::CScale(1.0));
  std::vector<T> out(all.size());
  CSampleFunnel::Create(code, code, 1, pass)
      ->Convert(out.data(), all.data(), static_cast<int>(all.size()));
  int changed = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (out[i] != all[i]) {
      ++changed;
      // Whatever changes moves one step toward zero.
      EXPECT_EQ(std::abs(static_cast<int>(out[i]) - static_cast<int>(all[i])), 1) << all[i];
    }
  }
  return changed;
}

TEST(SampleConverter, FullRangeRoundTripChangesExactlyTheDocumentedCounts) {
  std::vector<std::int16_t> shorts;
  for (int v = -32768; v <= 32767; ++v) shorts.push_back(static_cast<std::int16_t>(v));
  EXPECT_EQ(ChangedByRoundTrip<std::int16_t>(2, shorts), 160);
  std::vector<std::int8_t> bytes;
  for (int v = -128; v <= 127; ++v) bytes.push_back(static_cast<std::int8_t>(v));
  EXPECT_EQ(ChangedByRoundTrip<std::int8_t>(1, bytes), 32);
  std::vector<std::uint8_t> ubytes;
  for (int v = 0; v <= 255; ++v) ubytes.push_back(static_cast<std::uint8_t>(v));
  EXPECT_EQ(ChangedByRoundTrip<std::uint8_t>(8, ubytes), 40);

  EXPECT_EQ(
      (ConvertAll<std::int16_t, std::int16_t>(
          2, 2, {-31232, 33}, TCountedRef<CSampleFunnel::Filter>(new test_filters::CScale(1.0)))),
      (std::vector<std::int16_t>{-31231, 32}));
}

TEST(SampleConverter, Wide25RoundTripIsExactOnlyInSwappedOrder) {
  const std::vector<std::int32_t> values = {-16777216, -5, -1, 0, 1, 5, 16777215};
  TCountedRef<CSampleFunnel::Filter> pass(new test_filters::CScale(1.0));
  // Code 25 encodes with 16777215 against a decode by 16777216: non-zero values lose one step.
  EXPECT_EQ((ConvertAll<std::int32_t, std::int32_t>(25, 25, values, pass)),
            (std::vector<std::int32_t>{-16777215, -4, 0, 0, 0, 4, 16777214}));
  std::vector<std::uint32_t> swapped;
  for (std::int32_t v : values)
    swapped.push_back(sample_bytes::Swap32(static_cast<std::uint32_t>(v)));
  EXPECT_EQ((ConvertAll<std::uint32_t, std::uint32_t>(26, 26, swapped, pass)), swapped);
}

TEST(SampleConverter, FactoryRefusesCodesOutsideTheList) {
  for (std::uint32_t bad : {0u, 27u, 28u, 0xFFFFFFFFu}) {
    EXPECT_EQ(CSampleFunnel::Create(bad, 2, 1, {}), nullptr) << bad;
    EXPECT_EQ(CSampleFunnel::Create(2, bad, 1, {}), nullptr) << bad;
    EXPECT_EQ(CSampleFunnel::Create(6, bad, 1, {}), nullptr) << bad;
  }
}

TEST(SampleConverter, FactoryReturnsTheQuantizerForFloatToShort) {
  auto native = CSampleFunnel::Create(6, 2, 2, {});
  auto* quantizer = dynamic_cast<CFloatShortQuantizer*>(native.get());
  ASSERT_NE(quantizer, nullptr);
  EXPECT_FALSE(quantizer->Swapped());
  EXPECT_EQ(quantizer->Channels(), 2);
  auto swapped = CSampleFunnel::Create(6, 14, 1, {});
  ASSERT_NE(dynamic_cast<CFloatShortQuantizer*>(swapped.get()), nullptr);
  EXPECT_EQ(swapped->TargetFormat(), 14u);
  EXPECT_EQ(dynamic_cast<CFloatShortQuantizer*>(CSampleFunnel::Create(18, 2, 1, {}).get()),
            nullptr);
}

TEST(SampleConverter, ZeroOrNegativeCountWritesNothing) {
  const std::int16_t src[4] = {1, 2, 3, 4};
  for (std::uint32_t to : {2u, 3u, 6u, 14u, 26u}) {
    auto converter = CSampleFunnel::Create(2, to, 1, {});
    unsigned char dst[32];
    std::memset(dst, 0x5A, sizeof dst);
    converter->Convert(dst, src, 0);
    converter->Convert(dst, src, -4);
    for (unsigned char b : dst) ASSERT_EQ(b, 0x5A) << to;
  }
}

TEST(SampleConverter, FilterSeesEverySampleOnceInOrderAndHoldsAReference) {
  auto* recorder = new test_filters::CRecorder;
  TCountedRef<CSampleFunnel::Filter> ref(recorder);
  auto converter = CSampleFunnel::Create(5, 7, 1, ref);
  EXPECT_EQ(recorder->RefCount(), 2);
  const std::int32_t src[5] = {INT32_MIN, -1, 0, 1, INT32_MAX};
  double dst[5];
  converter->Convert(dst, src, 5);
  ASSERT_EQ(recorder->seen.size(), 5u);
  EXPECT_EQ(recorder->seen.front(), -1.0);
  EXPECT_EQ(recorder->seen.back(), 1.0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dst[i], recorder->seen[i]);
  converter.reset();
  EXPECT_EQ(recorder->RefCount(), 1);
}

}  // namespace
}  // namespace halvern
