#include "samples/sample_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "samples/format_model.h"
#include "samples/sample_format.h"
#include "samples/sample_funnel.h"
#include "samples/sample_kernels.h"
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

// Every form of every bulk kernel against the format model's rule for its pair, at every position
// of a sample within the widest (16-sample) block and with every tail length.

namespace k = sample_kernels;

template <class T>
Bytes Store(const std::vector<T>& values) {
  Bytes bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// Writes the expected output of one sample.
using Rule = std::function<void(const unsigned char* in, unsigned char* out)>;

// The format model's rule for one pair, unfiltered.
Rule Pair(int from, int to) {
  return [=](const unsigned char* in, unsigned char* out) {
    format_model::ConvertOne(from, to, in, out, false, [](double d) { return d; });
  };
}

void ExpectRule(const std::string& name,
                const std::function<void(unsigned char*, const unsigned char*, int)>& run,
                int inWidth, int outWidth, const Rule& rule, const Bytes& input) {
  SCOPED_TRACE(name);
  const int total = static_cast<int>(input.size()) / inWidth;
  Bytes expected(static_cast<std::size_t>(total) * outWidth);
  for (int i = 0; i < total; ++i) rule(&input[i * inWidth], &expected[i * outWidth]);
  // The whole input once; at the other offsets a prefix shows a lane or alignment fault.
  for (int start = 0; start < 16; ++start) {
    const int count = start == 0 ? total : std::min(total - start, 4096);
    Bytes out(static_cast<std::size_t>(count) * outWidth + 1, 0x5A);
    run(out.data(), input.data() + start * inWidth, count);
    ASSERT_EQ(out.back(), 0x5A) << "wrote past the end, start " << start;
    const auto wrong =
        std::mismatch(out.begin(), out.end() - 1, expected.begin() + start * outWidth);
    ASSERT_TRUE(wrong.first == out.end() - 1)
        << "start " << start << " sample " << start + (wrong.first - out.begin()) / outWidth;
  }
  for (int count = 0; count <= 48; ++count) {
    Bytes out(static_cast<std::size_t>(count) * outWidth + 1, 0x5A);
    run(out.data(), input.data(), count);
    ASSERT_EQ(out.back(), 0x5A) << "count " << count;
    ASSERT_TRUE(std::equal(out.begin(), out.end() - 1, expected.begin())) << "count " << count;
  }
}

Bytes AllShorts() {
  std::vector<std::uint16_t> values(65536);
  for (int v = 0; v < 65536; ++v) values[v] = static_cast<std::uint16_t>(v);
  return Store(values);
}

Bytes Packed24Values() {
  Bytes packed;
  for (std::uint32_t v = 0; v < (1u << 24); v += 61)
    packed.insert(packed.end(), {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                 static_cast<unsigned char>(v >> 16)});
  packed.insert(packed.end(), {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF});
  return packed;
}

// Where truncation is most sensitive (x * 32767 on or within a few steps of every whole number),
// every short at full scale, the floats just below -1 that clip although x * 32767 is above
// -32768, special bit patterns (NaNs, infinities, zeros, subnormals, range ends of both signs) and
// random bits and values.
Bytes InterestingFloats() {
  std::vector<float> values;
  for (int step = -32767; step <= 32767; ++step) {
    float f = static_cast<float>(step / 32767.0);
    for (int i = 0; i < 3; ++i) f = std::nextafter(f, -2.0f);
    for (int i = 0; i < 7; ++i, f = std::nextafter(f, 2.0f)) values.push_back(f);
    values.push_back(static_cast<float>(step) / 32768.0f);
  }
  for (float f = -1.0f; f >= -32768.0f / 32767.0f; f = std::nextafter(f, -2.0f))
    values.push_back(f);
  for (std::uint32_t bits :
       {0x7F800000u, 0xFF800000u, 0x7F800001u, 0xFF800001u, 0x7FC00000u, 0xFFC00000u, 0x7FFFFFFFu,
        0xFFFFFFFFu, 0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x807FFFFFu,
        0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800001u, 0xBF800001u, 0x4F000000u, 0xCF000000u, 0x40000000u})
    values.push_back(std::bit_cast<float>(bits));
  std::mt19937 random(12345);
  for (int i = 0; i < 100000; ++i) {
    const std::uint32_t bits = random();
    values.push_back(std::bit_cast<float>(bits));
    values.push_back(std::uniform_real_distribution<float>(-1.1f, 1.1f)(random));
  }
  return Store(values);
}

TEST(SampleKernels, EveryFormFollowsItsPerSampleRule) {
  const Bytes shorts = AllShorts();
  const Bytes packed = Packed24Values();
  const Bytes floats = InterestingFloats();
  const Rule shortToFloat = Pair(kFormatInt16, kFormatFloat);
  const Rule swappedToFloat = Pair(kFormatSwapped16, kFormatFloat);
  const Rule swap = Pair(kFormatInt16, kFormatSwapped16);
  ExpectRule("short to float", k::Int16ToFloat, 2, 4, shortToFloat, shorts);
  ExpectRule("scalar short to float", k::scalar::Int16ToFloat, 2, 4, shortToFloat, shorts);
  ExpectRule("swapped to float", k::Swapped16ToFloat, 2, 4, swappedToFloat, shorts);
  ExpectRule("scalar swapped to float", k::scalar::Swapped16ToFloat, 2, 4, swappedToFloat, shorts);
  ExpectRule("swap", k::Swap16, 2, 2, swap, shorts);
  ExpectRule("scalar swap", k::scalar::Swap16, 2, 2, swap, shorts);

  std::vector<k::KernelForm> forms = k::AvailableForms();
  forms.push_back({"scalar", k::scalar::Packed24ToFloat, k::scalar::FloatToInt32,
                   k::scalar::QuantizeFloatToInt16});
  forms.push_back({"chosen", k::Packed24ToFloat, k::FloatToInt32, k::QuantizeFloatToInt16});
  for (const auto& form : forms) {
    const std::string name = form.name;
    ExpectRule(name + " packed 24 to float", form.packed24ToFloat, 3, 4,
               Pair(kFormatPacked24, kFormatFloat), packed);
    ExpectRule(name + " float to int32", form.floatToInt32, 4, 4, Pair(kFormatFloat, kFormatInt32),
               floats);
    for (bool swapped : {false, true}) {
      const auto run = [&](unsigned char* out, const unsigned char* in, int count) {
        form.quantize(out, in, count, swapped);
      };
      ExpectRule(name + (swapped ? " quantize swapped" : " quantize"), run, 4, 2,
                 Pair(kFormatFloat, swapped ? kFormatSwapped16 : kFormatInt16), floats);
    }
  }
}

}  // namespace
}  // namespace halvern
