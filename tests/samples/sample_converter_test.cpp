#include "samples/sample_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

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
    const double values[] = {
        -1.0,   1.0,     0.0,     -0.0,         0.5,           -0.5,
        1.5,    -2.0,    0.99999, -0.99999,     1e-40,         -1e-45,
        3.0e38, -3.0e38, 1e300,   4294967296.0, -2147483649.0, 1e19,
        -1e19,  inf,     -inf,    std::nan(""), 1.0 / 65535,   3.0517578125e-05};
    for (double d : values) put([&](unsigned char* p) { format_model::Encode(code, d, p); });
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
      put([&](unsigned char* p) { format_model::WriteInteger(code, v, p); });
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

// Runs every ordered pair through the factory and compares each output sample with the model;
// a factor of 0 attaches no filter.
void CheckEveryPair(double factor) {
  TCountedRef<CSampleFunnel::Filter> filter;
  if (factor != 0.0) filter = new test_filters::CScale(factor);
  for (int from = 1; from <= 26; ++from) {
    const Bytes src = SampleSet(from);
    const int inWidth = Get(from).width;
    const int count = static_cast<int>(src.size()) / inWidth;
    for (int to = 1; to <= 26; ++to) {
      SCOPED_TRACE(::testing::Message() << from << " -> " << to << ", factor " << factor);
      const int outWidth = Get(to).width;
      auto converter = CSampleFunnel::Create(from, to, 1, filter);
      ASSERT_NE(converter, nullptr);
      Bytes dst(static_cast<std::size_t>(count) * outWidth + 1, 0xA5);
      converter->Convert(dst.data(), src.data(), count);
      EXPECT_EQ(dst.back(), 0xA5) << "wrote past the end";
      for (int i = 0; i < count; ++i) {
        unsigned char expected[8];
        format_model::ConvertOne(from, to, &src[i * inWidth], expected, factor != 0.0,
                                 [&](double d) { return d * factor; });
        ASSERT_EQ(Bytes(expected, expected + outWidth),
                  Bytes(&dst[i * outWidth], &dst[(i + 1) * outWidth]))
            << "sample " << i << " of "
            << ::testing::PrintToString(Bytes(&src[i * inWidth], &src[(i + 1) * inWidth]));
      }
    }
  }
}

// With the filter tripling every sample, results beyond full scale wrap or clip as each rule says.
TEST(SampleConverter, EveryPairFollowsItsRuleWithoutWithAndWithAnOutOfRangeFilter) {
  for (double factor : {0.0, 1.0, 3.0}) CheckEveryPair(factor);
}

// Counts the values of a format that the identity conversion with a pass-through filter changes.
template <class T>
int ChangedByRoundTrip(std::uint32_t code) {
  std::vector<T> all;
  for (int v = std::numeric_limits<T>::min(); v <= std::numeric_limits<T>::max(); ++v)
    all.push_back(static_cast<T>(v));
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

// Exhaustive over the small formats: a last-bit change of a full-range constant shows here.
TEST(SampleConverter, FullRangeRoundTripChangesExactlyTheDocumentedCounts) {
  EXPECT_EQ(ChangedByRoundTrip<std::int16_t>(2), 160);
  EXPECT_EQ(ChangedByRoundTrip<std::int8_t>(1), 32);
  EXPECT_EQ(ChangedByRoundTrip<std::uint8_t>(8), 40);
}

TEST(SampleConverter, FactoryRefusesCodesOutsideTheListAndCountsOfNothingWriteNothing) {
  for (std::uint32_t bad : {0u, 27u, 28u, 0xFFFFFFFFu}) {
    EXPECT_EQ(CSampleFunnel::Create(bad, 2, 1, {}), nullptr) << bad;
    EXPECT_EQ(CSampleFunnel::Create(2, bad, 1, {}), nullptr) << bad;
    EXPECT_EQ(CSampleFunnel::Create(6, bad, 1, {}), nullptr) << bad;
    EXPECT_EQ(SampleWidth(bad), 0);
  }
  const std::int16_t src[4] = {1, 2, 3, 4};
  for (std::uint32_t to : {2u, 3u, 6u, 14u, 26u}) {
    auto converter = CSampleFunnel::Create(2, to, 1, {});
    unsigned char dst[32];
    std::memset(dst, 0x5A, sizeof dst);
    converter->Convert(dst, src, 0);
    converter->Convert(dst, src, -4);
    for (unsigned char b : dst) ASSERT_EQ(b, 0x5A) << to;
  }
  // Float to short goes through the quantizer, which refuses a partial frame (and, without
  // channels, every frame) before writing anything.
  const float floats[3] = {0.5f, 0.5f, 0.5f};
  std::int16_t shorts[3] = {7, 7, 7};
  for (std::uint32_t channels : {2u, 0u}) {
    try {
      CSampleFunnel::Create(6, 2, channels, {})->Convert(shorts, floats, channels == 2 ? 3 : 2);
      ADD_FAILURE() << "no exception, " << channels << " channels";
    } catch (int code) {
      EXPECT_EQ(code, -50);
    }
  }
  EXPECT_EQ(shorts[0], 7);
}

}  // namespace
}  // namespace halvern
