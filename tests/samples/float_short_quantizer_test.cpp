// The quantizer's values are checked with every other pair (sample_converter_test) and at every
// block offset (sample_kernels_test); here only what is its own: whole frames.
#include "samples/float_short_quantizer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace halvern {
namespace {

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

}  // namespace
}  // namespace halvern
