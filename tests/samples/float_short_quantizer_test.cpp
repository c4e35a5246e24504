#include "samples/float_short_quantizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "samples/test_filters.h"

namespace halvern {
namespace {

std::vector<std::int16_t> Quantize(const std::vector<float>& in, bool swap = false,
                                   TCountedRef<CSampleFunnel::Filter> filter = {}) {
  CFloatShortQuantizer quantizer(1, filter, swap);
  std::vector<std::int16_t> out(in.size(), 0x5A5A);
  quantizer.Convert(out.data(), in.data(), static_cast<int>(in.size()));
  return out;
}

TEST(FloatShortQuantizer, ClipsAtFullScaleAndTruncatesInside) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Long enough to pass through the four/eight-at-a-time loop and the single-sample tail.
  const std::vector<float> in = {1.0f, -1.0f, 1.5f, -2.0f, 0.5f,   -0.5f,     0.99999f,  nan,
                                 inf,  -inf,  0.0f, -0.0f, 1e-30f, -0.99999f, 1.0000001f};
  const std::vector<std::int16_t> expected = {32767, -32768, 32767, -32768, 16383, -16383, 32766, 0,
                                              32767, -32768, 0,     0,      0,     -32766, 32767};
  EXPECT_EQ(Quantize(in), expected);
}

TEST(FloatShortQuantizer, SwappedVariantStoresBigEndian) {
  const std::vector<std::int16_t> out = Quantize({1.0f, -1.0f, 0.5f}, true);
  unsigned char bytes[6];
  std::memcpy(bytes, out.data(), 6);
  EXPECT_EQ(bytes[0], 0x7F);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0x80);
  EXPECT_EQ(bytes[3], 0x00);
  EXPECT_EQ(bytes[4], 0x3F);  // 16383
  EXPECT_EQ(bytes[5], 0xFF);
}

TEST(FloatShortQuantizer, PartialFrameThrowsMinus50BeforeWriting) {
  CFloatShortQuantizer stereo(2, {}, false);
  const float in[3] = {0.5f, 0.5f, 0.5f};
  std::int16_t out[3] = {7, 7, 7};
  try {
    stereo.Convert(out, in, 3);
    FAIL() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, -50);
  }
  EXPECT_EQ(out[0], 7);
  stereo.Convert(out, in, 2);
  EXPECT_EQ(out[0], 16383);
  EXPECT_NO_THROW(stereo.Convert(out, in, 0));
  EXPECT_NO_THROW(stereo.Convert(out, in, -3));
  CFloatShortQuantizer noChannels(0, {}, false);
  EXPECT_THROW(noChannels.Convert(out, in, 2), int);
}

TEST(FloatShortQuantizer, AttachedFilterActsBeforeTheClipping) {
  TCountedRef<CSampleFunnel::Filter> half(new test_filters::CScale(0.5));
  EXPECT_EQ(Quantize({1.0f, -1.0f, 4.0f}, false, half),
            (std::vector<std::int16_t>{16383, -16383, 32767}));
  TCountedRef<CSampleFunnel::Filter> nan(
      new test_filters::CConstant(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(Quantize({0.5f}, true, nan), (std::vector<std::int16_t>{0}));
}

}  // namespace
}  // namespace halvern
