#include "samples/sample_traits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "samples/sample_codec.h"

namespace halvern {
namespace {

template <class Storage>
std::int64_t ReadBytes(std::initializer_list<unsigned char> bytes) {
  unsigned char buffer[8] = {};
  std::copy(bytes.begin(), bytes.end(), buffer);
  return TStorageIO<Storage>::Read(buffer);
}

template <class Storage>
std::array<unsigned char, sizeof(Storage)> WriteValue(std::int64_t value) {
  std::array<unsigned char, sizeof(Storage)> out;
  out.fill(0xEE);
  TStorageIO<Storage>::Write(out.data(), value);
  return out;
}

using B4 = std::array<unsigned char, 4>;

TEST(SampleTraits, Wide24IgnoresItsPadByteOnReadAndWritesTheSignExtension) {
  EXPECT_EQ(ReadBytes<Wide24>({0x00, 0x00, 0x80, 0x7F}), -8388608);
  EXPECT_EQ(ReadBytes<Wide24>({0xFF, 0xFF, 0x7F, 0x80}), 8388607);
  EXPECT_EQ(WriteValue<Wide24>(-8388608), (B4{0x00, 0x00, 0x80, 0xFF}));
  EXPECT_EQ(WriteValue<Wide24>(-1), (B4{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SampleTraits, SwappedWide24WritesAZeroPadByteFirst) {
  EXPECT_EQ(WriteValue<SwappedWide24Sample>(-1), (B4{0x00, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(ReadBytes<SwappedWide24Sample>({0x7F, 0x80, 0x00, 0x00}), -8388608);
  EXPECT_EQ(ReadBytes<SwappedWide24Sample>({0xAB, 0x00, 0x00, 0x01}), 1);
}

TEST(SampleTraits, UnsignedWide24MasksItsPadButTheSwappedTwinDoesNot) {
  EXPECT_EQ(ReadBytes<UnsignedWide24>({0x01, 0x00, 0x00, 0x5A}), 1);
  EXPECT_EQ(ReadBytes<SwappedUnsignedWide24Sample>({0x01, 0x00, 0x00, 0x00}), 16777216);
  EXPECT_EQ(ReadBytes<SwappedUnsignedWide24Sample>({0xFF, 0xFF, 0xFF, 0xFF}), 4294967295);
  EXPECT_EQ(WriteValue<SwappedUnsignedWide24Sample>(0x123456), (B4{0x00, 0x12, 0x34, 0x56}));
  EXPECT_EQ(WriteValue<UnsignedWide24>(0x123456), (B4{0x56, 0x34, 0x12, 0x00}));
}

TEST(SampleTraits, Wide25TakesTheWordWhole) {
  EXPECT_EQ(ReadBytes<Wide25>({0x00, 0x00, 0x00, 0x01}), 16777216);
  EXPECT_EQ(ReadBytes<Wide25>({0x00, 0x00, 0x00, 0xFF}), -16777216);
  EXPECT_EQ(ReadBytes<SwappedWide25Sample>({0x01, 0x00, 0x00, 0x00}), 16777216);
  EXPECT_EQ(WriteValue<SwappedWide25Sample>(-2), (B4{0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(SampleTraits, PackedFormatsSignOrZeroExtendTheirThreeBytes) {
  EXPECT_EQ(ReadBytes<Packed24>({0x00, 0x00, 0x80}), -8388608);
  EXPECT_EQ(ReadBytes<SwappedPacked24Sample>({0x80, 0x00, 0x01}), -8388607);
  EXPECT_EQ(ReadBytes<UnsignedPacked24>({0x00, 0x00, 0x80}), 8388608);
  EXPECT_EQ(ReadBytes<SwappedUnsignedPacked24Sample>({0xFF, 0x00, 0x00}), 16711680);
  using B3 = std::array<unsigned char, 3>;
  EXPECT_EQ(WriteValue<Packed24>(-2), (B3{0xFE, 0xFF, 0xFF}));
  EXPECT_EQ(WriteValue<SwappedPacked24Sample>(-2), (B3{0xFF, 0xFF, 0xFE}));
}

TEST(SampleTraits, OneByteSwappedFormatsShareTheBytesOfTheirNativeTwins) {
  EXPECT_EQ(ReadBytes<Swapped8Sample>({0x80}), ReadBytes<std::int8_t>({0x80}));
  EXPECT_EQ(ReadBytes<SwappedUnsigned8Sample>({0x80}), 128);
}

TEST(SampleTraits, RangesAndCodesFollowTheFormatTable) {
  EXPECT_EQ(Int32Traits::kMin, -2147483648LL);
  EXPECT_EQ(UInt32Traits::kMax, 4294967295LL);
  EXPECT_EQ(Wide25Traits::kMin, -16777216);
  EXPECT_EQ(TFormatTraits<23>::kMax, 16777215);
  EXPECT_TRUE(TFormatTraits<14>::kSwapped);
  EXPECT_FALSE(TFormatTraits<25>::kSwapped);
  for (std::int64_t code : {0LL, 27LL, -1LL, 1000LL}) {
    EXPECT_FALSE(IsValidFormatCode(code));
    EXPECT_EQ(SampleWidth(code), 0);
  }
}

TEST(SampleTraits, FullRangeConstantsMatchTheDocumentedDigits) {
  EXPECT_EQ(TFullRangeScale<Int8Traits>::kScale, 0.00784313725490196);
  EXPECT_EQ(TFullRangeScale<Int8Traits>::kOffset, 0.0039215686274509665);
  EXPECT_NE(TFullRangeScale<Int8Traits>::kOffset, 0.00392156862745098);
  EXPECT_EQ(TFullRangeScale<Int16Traits>::kScale, 3.0518043793392844e-05);
  EXPECT_EQ(TFullRangeScale<Int16Traits>::kOffset, 1.5259021896696368e-05);
  EXPECT_EQ(TFullRangeScale<Int32Traits>::kScale, 4.656612874161595e-10);
  EXPECT_EQ(TFullRangeScale<Int32Traits>::kOffset, 0x1p-32);
  EXPECT_EQ(TFullRangeScale<UnsignedPacked24Traits>::kScale, 1.1920929665620903e-07);
  EXPECT_EQ(TFullRangeScale<SwappedUnsigned32Traits>::kOffset, -1.0);
  EXPECT_EQ(TFullRangeScale<SwappedUnsignedWide24Traits>::kHalf, 8388607.5);
  EXPECT_EQ(TFullRangeScale<Swapped32Traits>::kHalf, 2147483647.5);
}

TEST(SampleTraits, TruncationSaturatesBeyondSixtyFourBitsAndMapsNaNToZero) {
  EXPECT_EQ(TruncToInt64(-2.9), -2);
  EXPECT_EQ(TruncToInt64(2.9), 2);
  EXPECT_EQ(TruncToInt64(1e300), INT64_MAX);
  EXPECT_EQ(TruncToInt64(-1e300), INT64_MIN);
  EXPECT_EQ(TruncToInt64(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(TruncToInt64(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(TruncToInt64(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace
}  // namespace halvern
