#include "samples/sample_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace halvern {
namespace {

using Bytes = std::vector<unsigned char>;
using Kernel = void (*)(unsigned char*, const unsigned char*, int);

// Runs both forms over `src` at every start offset 0..3 and with lengths that leave every
// possible tail, and requires identical bytes.
void ExpectSameBits(Kernel fast, Kernel slow, const Bytes& src, int inWidth, int outWidth) {
  const int total = static_cast<int>(src.size()) / inWidth;
  for (int start = 0; start < 4 && start < total; ++start) {
    const int count = total - start;
    Bytes a(static_cast<std::size_t>(count) * outWidth + 1, 0x11);
    Bytes b(a.size(), 0x11);
    fast(a.data(), src.data() + start * inWidth, count);
    slow(b.data(), src.data() + start * inWidth, count);
    ASSERT_EQ(a, b) << "start " << start;
  }
  for (int count = 0; count <= 19 && count <= total; ++count) {
    Bytes a(static_cast<std::size_t>(count) * outWidth + 1, 0x22);
    Bytes b(a.size(), 0x22);
    fast(a.data(), src.data(), count);
    slow(b.data(), src.data(), count);
    ASSERT_EQ(a, b) << "count " << count;
  }
}

Bytes AllShorts() {
  Bytes out;
  for (int v = 0; v < 65536; ++v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
  }
  return out;
}

// Special floats, every short scaled to full scale, the neighbours of the clip and range
// boundaries, and random bit patterns (NaNs, infinities, huge and tiny values among them).
Bytes InterestingFloats() {
  std::vector<float> values = {0.0f,
                               -0.0f,
                               1.0f,
                               -1.0f,
                               std::nextafter(1.0f, 2.0f),
                               std::nextafter(1.0f, 0.0f),
                               std::nextafter(-1.0f, -2.0f),
                               std::nextafter(-1.0f, 0.0f),
                               0.5f,
                               -0.5f,
                               2.0f,
                               -2.0f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::quiet_NaN(),
                               -std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::max(),
                               std::numeric_limits<float>::lowest(),
                               std::numeric_limits<float>::denorm_min(),
                               -std::numeric_limits<float>::denorm_min(),
                               1e-30f,
                               3.0517578125e-05f};
  for (int v = -32768; v < 32768; ++v) values.push_back(static_cast<float>(v) / 32768.0f);
  // The floats nearest to k / 32767 and their neighbours: where x * 32767 lies on or next to a
  // whole number, so truncation is most sensitive to rounding.
  for (int k = -32767; k <= 32767; ++k) {
    const auto f = static_cast<float>(k / 32767.0);
    values.insert(values.end(), {f, std::nextafter(f, 2.0f), std::nextafter(f, -2.0f)});
  }
  std::mt19937 random(12345);
  for (int i = 0; i < 100000; ++i) {
    const std::uint32_t bits = random();
    float f;
    std::memcpy(&f, &bits, 4);
    values.push_back(f);
    values.push_back(std::uniform_real_distribution<float>(-1.1f, 1.1f)(random));
  }
  Bytes out(values.size() * 4);
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

TEST(SampleKernels, ShortKernelsMatchTheScalarRuleForEveryValue) {
  const Bytes shorts = AllShorts();
  ExpectSameBits(sample_kernels::Int16ToFloat, sample_kernels::scalar::Int16ToFloat, shorts, 2, 4);
  ExpectSameBits(sample_kernels::Swapped16ToFloat, sample_kernels::scalar::Swapped16ToFloat, shorts,
                 2, 4);
  ExpectSameBits(sample_kernels::Swap16, sample_kernels::scalar::Swap16, shorts, 2, 2);
}

TEST(SampleKernels, ShortToFloatIsExactlyXOver32768) {
  const Bytes shorts = AllShorts();
  std::vector<float> out(65536);
  sample_kernels::Int16ToFloat(reinterpret_cast<unsigned char*>(out.data()), shorts.data(), 65536);
  for (int v = 0; v < 65536; ++v) {
    const double x = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
    ASSERT_EQ(out[v], static_cast<float>(x / 32768.0)) << x;
  }
}

TEST(SampleKernels, Packed24KernelMatchesTheScalarRule) {
  Bytes packed;
  for (std::uint32_t v = 0; v < (1u << 24); v += 7) {
    packed.push_back(static_cast<unsigned char>(v));
    packed.push_back(static_cast<unsigned char>(v >> 8));
    packed.push_back(static_cast<unsigned char>(v >> 16));
  }
  for (std::uint32_t v : {0x7FFFFFu, 0x800000u, 0xFFFFFFu, 0x000001u}) {
    packed.push_back(static_cast<unsigned char>(v));
    packed.push_back(static_cast<unsigned char>(v >> 8));
    packed.push_back(static_cast<unsigned char>(v >> 16));
  }
  for (const auto& form : sample_kernels::AvailableForms()) {
    SCOPED_TRACE(form.name);
    ExpectSameBits(form.packed24ToFloat, sample_kernels::scalar::Packed24ToFloat, packed, 3, 4);
  }
  ExpectSameBits(sample_kernels::Packed24ToFloat, sample_kernels::scalar::Packed24ToFloat, packed,
                 3, 4);
}

TEST(SampleKernels, FloatKernelsMatchTheScalarRuleOnSpecialValues) {
  const Bytes floats = InterestingFloats();
  ExpectSameBits(sample_kernels::FloatToInt32, sample_kernels::scalar::FloatToInt32, floats, 4, 4);
  for (const auto& form : sample_kernels::AvailableForms()) {
    SCOPED_TRACE(form.name);
    ExpectSameBits(form.floatToInt32, sample_kernels::scalar::FloatToInt32, floats, 4, 4);
  }
}

// The clipping rule computed independently, in double.
std::uint16_t QuantizeReference(float x, bool swap) {
  std::int16_t y = 0;
  if (x <= -1.0f) {
    y = -32768;
  } else if (x > 1.0f) {
    y = 32767;
  } else if (!std::isnan(x)) {
    y = static_cast<std::int16_t>(std::trunc(static_cast<double>(x) * 32767.0));
  }
  const auto u = static_cast<std::uint16_t>(y);
  return swap ? static_cast<std::uint16_t>((u >> 8) | (u << 8)) : u;
}

float FromBits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Where truncation is most sensitive (x * 32767 on or within a few steps of every whole number),
// the floats just below -1 that clip although x * 32767 is above -32768, and the NaNs, infinities,
// zeros and subnormals of both signs.
std::vector<float> QuantizerEdges() {
  std::vector<float> values;
  for (int k = -32767; k <= 32767; ++k) {
    float f = static_cast<float>(k / 32767.0);
    for (int i = 0; i < 3; ++i) f = std::nextafter(f, -2.0f);
    for (int i = 0; i < 7; ++i, f = std::nextafter(f, 2.0f)) values.push_back(f);
  }
  for (float f = -1.0f; f >= -32768.0f / 32767.0f; f = std::nextafter(f, -2.0f)) {
    values.push_back(f);
  }
  for (std::uint32_t bits :
       {0x7F800000u, 0xFF800000u, 0x7F800001u, 0xFF800001u, 0x7FC00000u, 0xFFC00000u, 0x7FFFFFFFu,
        0xFFFFFFFFu, 0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x807FFFFFu,
        0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800001u, 0xBF800001u, 0x4F000000u, 0xCF000000u}) {
    values.push_back(FromBits(bits));
  }
  return values;
}

TEST(SampleKernels, QuantizerFormsFollowTheRuleAtEveryStepOffsetAndTail) {
  const std::vector<float> values = QuantizerEdges();
  const int total = static_cast<int>(values.size());
  for (bool swap : {false, true}) {
    std::vector<std::uint16_t> expected(values.size());
    for (int i = 0; i < total; ++i) expected[i] = QuantizeReference(values[i], swap);
    std::vector<sample_kernels::KernelForm> forms = sample_kernels::AvailableForms();
    forms.push_back({"scalar", nullptr, nullptr, sample_kernels::scalar::QuantizeFloatToInt16});
    forms.push_back({"chosen", nullptr, nullptr, sample_kernels::QuantizeFloatToInt16});
    for (const auto& form : forms) {
      SCOPED_TRACE(std::string(form.name) + (swap ? " swapped" : ""));
      const auto* src = reinterpret_cast<const unsigned char*>(values.data());
      // Every position of a sample within the widest (16-sample) block.
      for (int start = 0; start < 16; ++start) {
        std::vector<std::uint16_t> out(total - start + 1, 0x5A5A);
        form.quantize(reinterpret_cast<unsigned char*>(out.data()), src + 4 * start, total - start,
                      swap);
        const auto wrong = std::mismatch(out.begin(), out.end() - 1, expected.begin() + start);
        ASSERT_TRUE(wrong.first == out.end() - 1)
            << "start " << start << " x " << values[wrong.second - expected.begin()] << " gave "
            << *wrong.first << " not " << *wrong.second;
        ASSERT_EQ(out.back(), 0x5A5A) << "wrote past the end";
      }
      // Every tail length after zero, one and two whole blocks.
      for (int count = 0; count <= 48; ++count) {
        std::vector<std::uint16_t> out(count + 1, 0x5A5A);
        form.quantize(reinterpret_cast<unsigned char*>(out.data()), src, count, swap);
        for (int i = 0; i < count; ++i) ASSERT_EQ(out[i], expected[i]) << "count " << count;
        ASSERT_EQ(out.back(), 0x5A5A) << "count " << count;
      }
    }
  }
}

}  // namespace
}  // namespace halvern
