#include <gtest/gtest.h>

#include <cstddef>

#include "kovra_api.h"

extern "C" std::size_t KovraHostC_Layout(int index);

// A C host and the library (C++) must agree on every record byte and argument size.
TEST(KovraApiHeader, CHostSeesTheSameLayoutsAsTheLibrary) {
  const std::size_t cpp[] = {
      sizeof(DeviceEndpointRecord),
      offsetof(DeviceEndpointRecord, formFactor),
      offsetof(DeviceEndpointRecord, channelMask),
      sizeof(DeviceList),
      offsetof(DeviceList, records),
      sizeof(CallStackFrameRecord),
      offsetof(CallStackFrameRecord, offset),
      sizeof(KovraChar16),
      sizeof(bool),
      sizeof(KovraDelegate),
      ResultTooManyDevices,
      GainValues,
  };
  for (int i = 0; i < static_cast<int>(std::size(cpp)); ++i) {
    EXPECT_EQ(KovraHostC_Layout(i), cpp[i]) << "entry " << i;
  }
  EXPECT_EQ(sizeof(DeviceList), sizeof(void*) == 8 ? 16u : 12u);
}
