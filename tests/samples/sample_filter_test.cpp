// In-place filters of the processor formats; which formats have one is shown by the processor
// tests (a packed 24-bit packet passes untouched).
#include "samples/sample_filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "samples/sample_funnel.h"
#include "samples/test_filters.h"

namespace halvern {
namespace {

TEST(SampleFilter, ShortPassThroughMovesSomeValuesOneStepAndNoFilterLeavesAll) {
  std::vector<std::int16_t> buffer = {-31232, 33, 0, 32767, -32768, 100};
  CSampleFunnel::CreateFilter(2, {})->Convert(buffer.data(), nullptr, 6);
  EXPECT_EQ(buffer, (std::vector<std::int16_t>{-31232, 33, 0, 32767, -32768, 100}));
  TCountedRef<CSampleFunnel::Filter> pass(new test_filters::CScale(1.0));
  CSampleFunnel::CreateFilter(2, pass)->Convert(buffer.data(), nullptr, 6);
  EXPECT_EQ(buffer, (std::vector<std::int16_t>{-31231, 32, 0, 32767, -32768, 100}));
}

TEST(SampleFilter, GainIsAppliedInPlaceOnTheNormalisedScale) {
  TCountedRef<CSampleFunnel::Filter> half(new test_filters::CScale(0.5));
  std::vector<float> floats = {1.0f, -0.5f, 0.25f};
  CSampleFunnel::CreateFilter(6, half)->Convert(floats.data(), nullptr, 3);
  EXPECT_EQ(floats, (std::vector<float>{0.5f, -0.25f, 0.125f}));
  // Int8: 127 decodes to 1.0 -> 0.5 -> trunc((0.5 - 0.0039215686274509665) * 127.5) = 63.
  // -128 decodes to -1.0 -> -0.5 -> trunc(-0.5039215686274509665 * 127.5) = -64.
  std::vector<std::int8_t> bytes = {127, -128};
  CSampleFunnel::CreateFilter(1, half)->Convert(bytes.data(), nullptr, 2);
  EXPECT_EQ(bytes, (std::vector<std::int8_t>{63, -64}));
  std::vector<std::int32_t> ints = {2147483647};
  CSampleFunnel::CreateFilter(5, half)->Convert(ints.data(), nullptr, 1);
  // (0.5 - 2^-32) * 2147483647.5 = 1073741823.25 (about), truncated.
  EXPECT_EQ(ints[0], 1073741823);
}

}  // namespace
}  // namespace halvern
