#include "samples/interleaved_filter.h"

#include <gtest/gtest.h>

#include <vector>

#include "samples/sample_funnel.h"
#include "samples/test_filters.h"

namespace halvern {
namespace {

TEST(InterleavedFilter, EachChannelFilterSeesItsOwnSamplesAcrossBlocks) {
  auto* left = new test_filters::CRecorder;
  auto* right = new test_filters::CRecorder;
  TCountedRef<CSampleFunnel::Filter> filters[2] = {left, right};
  TCountedRef<CSampleFunnel::Filter> interleaved(new CInterleavedFilter(2, filters));
  EXPECT_EQ(left->RefCount(), 2);

  auto converter = CSampleFunnel::Create(7, 7, 2, interleaved);
  const double block1[3] = {0.1, 0.2, 0.3};  // odd length: the next block starts on the right
  const double block2[3] = {0.4, 0.5, 0.6};
  double out[3];
  converter->Convert(out, block1, 3);
  converter->Convert(out, block2, 3);
  EXPECT_EQ(left->seen, (std::vector<double>{0.1, 0.3, 0.5}));
  EXPECT_EQ(right->seen, (std::vector<double>{0.2, 0.4, 0.6}));

  converter.reset();
  interleaved = nullptr;
  EXPECT_EQ(left->RefCount(), 1);
}

TEST(InterleavedFilter, MissingFiltersPassSamplesThrough) {
  TCountedRef<CSampleFunnel::Filter> filters[2] = {new test_filters::CScale(2.0), nullptr};
  CInterleavedFilter interleaved(2, filters);
  EXPECT_EQ(interleaved.FilterSample(0.25), 0.5);
  EXPECT_EQ(interleaved.FilterSample(0.25), 0.25);
  EXPECT_EQ(interleaved.FilterSample(0.25), 0.5);
  CInterleavedFilter empty(0, nullptr);
  EXPECT_EQ(empty.ChannelCount(), 0);
  EXPECT_EQ(empty.FilterSample(0.75), 0.75);
}

}  // namespace
}  // namespace halvern
