// Every form of every bulk kernel against the format model's rule for its pair, at every position
// of a sample within the widest (16-sample) block and with every tail length.
#include "samples/sample_kernels.h"

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

namespace halvern {
namespace {

using Bytes = std::vector<unsigned char>;
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
