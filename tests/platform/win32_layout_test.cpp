#include <gtest/gtest.h>

#include <cstddef>

#include "platform/win32.h"

TEST(Win32Layout, WaveFormatRecordsKeepTheirWindowsOffsets) {
  EXPECT_EQ(offsetof(WAVEFORMATEX, nChannels), 2u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, Samples), 18u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
}
