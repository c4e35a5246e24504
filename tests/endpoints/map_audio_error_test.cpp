// Result codes and error lines for Windows statuses, and the copy of a wave format record.
#include "endpoints/map_audio_error.h"

#include <cstring>
#include <memory>

#include "endpoints/wave_format.h"
#include "kovra_api.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

using MapAudioErrorTest = TraceTest;

struct CErrorCase {
  HRESULT hr;
  std::uint32_t code;
  const char* text;  // null: no line
};

// One named client error and the fall-backs on either side of the table.
TEST_F(MapAudioErrorTest, SuccessIsSilentAndAFailureWritesOneLine) {
  const CErrorCase cases[] = {
      {S_FALSE, ResultOk, nullptr},
      {AUDCLNT_E_EXCLUSIVE_MODE_ONLY, ResultDeviceBusy, "AUDCLNT_E_EXCLUSIVE_MODE_ONLY"},
      {AUDCLNT_E_DEVICE_INVALIDATED, ResultFailed, "hr = 88890004"},
  };
  Start(kTraceToDebugger, kTraceLevelError, kTracePrefixNone);
  for (const CErrorCase& c : cases) {
    m_Debug.Clear();
    EXPECT_EQ(MapAudioError("CAudioRouter::Start", "Couldn't start WASAPI device", c.hr), c.code);
    const auto lines = m_Debug.Lines();
    ASSERT_EQ(lines.size(), c.text == nullptr ? 0u : 1u);
    if (c.text != nullptr) {
      EXPECT_EQ(lines[0], std::string("ERR  CAudioRouter::Start() - Couldn't start WASAPI "
                                      "device: ") +
                              c.text + "\n");
    }
  }
}

// A plain record is 18 bytes: the copy must not read past it, and leaves the rest zero.
TEST(WaveFormat, CopyTakesOnlyTheBytesTheRecordHas) {
  auto plain =
      std::make_unique<WAVEFORMATEX>(WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0});
  WAVEFORMATEXTENSIBLE copy;
  std::memset(&copy, 0xFF, sizeof(copy));
  CopyWaveFormat(plain.get(), &copy);
  EXPECT_EQ(copy.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(copy.dwChannelMask, 0u);
}

}  // namespace
}  // namespace halvern::testing
