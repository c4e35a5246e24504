// Result codes and error lines for Windows statuses, and the sample format codes of wave formats.
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

WAVEFORMATEX Wave(WORD tag, WORD bits) {
  WAVEFORMATEX format{};
  format.wFormatTag = tag;
  format.nChannels = 2;
  format.nSamplesPerSec = 48000;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<WORD>(2 * bits / 8);
  format.cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
  return format;
}

// The chain reads 32 bits by the tag (an extensible one is taken for float whatever its
// sub-format); the meter by the bit depth alone.
TEST(WaveFormat, ThirtyTwoBitsFollowTheTagForTheChainButNotForTheMeter) {
  const struct {
    WORD tag, bits;
    std::int32_t stream, meter;
  } cases[] = {{WAVE_FORMAT_PCM, 8, 0, 1},
               {WAVE_FORMAT_PCM, 32, 5, 6},
               {WAVE_FORMAT_EXTENSIBLE, 32, 6, 6},
               {WAVE_FORMAT_IEEE_FLOAT, 32, 0, 6}};
  for (const auto& c : cases) {
    const WAVEFORMATEX format = Wave(c.tag, c.bits);
    EXPECT_EQ(StreamSampleFormatCode(format), c.stream) << c.tag << "/" << c.bits;
    EXPECT_EQ(MeterSampleFormatCode(format), c.meter) << c.tag << "/" << c.bits;
  }
}

// A plain record is 18 bytes: the copy must not read past it, and leaves the rest zero.
TEST(WaveFormat, CopyTakesOnlyTheBytesTheRecordHas) {
  auto plain = std::make_unique<WAVEFORMATEX>(Wave(WAVE_FORMAT_PCM, 16));
  WAVEFORMATEXTENSIBLE copy;
  std::memset(&copy, 0xFF, sizeof(copy));
  CopyWaveFormat(plain.get(), &copy);
  EXPECT_EQ(copy.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(copy.dwChannelMask, 0u);
}

}  // namespace
}  // namespace halvern::testing
