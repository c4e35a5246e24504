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

TEST_F(MapAudioErrorTest, MapsClientErrorsToTheirCodesAndEverythingElseToOne) {
  const CErrorCase cases[] = {
      {S_OK, ResultOk, nullptr},
      {S_FALSE, ResultOk, nullptr},
      {AUDCLNT_E_NOT_INITIALIZED, ResultClientState, "AUDCLNT_E_NOT_INITIALIZED"},
      {AUDCLNT_E_ALREADY_INITIALIZED, ResultClientState, "AUDCLNT_E_ALREADY_INITIALIZED"},
      {AUDCLNT_E_UNSUPPORTED_FORMAT, ResultUnsupportedFormat, "AUDCLNT_E_UNSUPPORTED_FORMAT"},
      {AUDCLNT_E_DEVICE_IN_USE, ResultDeviceBusy, "AUDCLNT_E_DEVICE_IN_USE"},
      {AUDCLNT_E_EXCLUSIVE_MODE_ONLY, ResultDeviceBusy, "AUDCLNT_E_EXCLUSIVE_MODE_ONLY"},
      {AUDCLNT_E_DEVICE_INVALIDATED, ResultFailed, "hr = 88890004"},
      {E_POINTER, ResultFailed, "hr = 80004003"},
  };
  Start(kTraceToDebugger, kTraceLevelError, kTracePrefixNone);
  for (const CErrorCase& c : cases) {
    m_Debug.Clear();
    EXPECT_EQ(MapAudioError("CAudioRouter::Start", "Couldn't start WASAPI device", c.hr), c.code);
    const auto lines = m_Debug.Lines();
    if (c.text == nullptr) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("ERR  CAudioRouter::Start() - Couldn't start WASAPI device: ") +
                            c.text + "\n");
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

struct CCodeCase {
  WORD tag;
  WORD bits;
  std::int32_t stream;
  std::int32_t meter;
};

TEST(WaveFormat, SampleFormatCodesFollowTheBitDepthAndForThirtyTwoBitsTheTag) {
  const CCodeCase cases[] = {
      {WAVE_FORMAT_PCM, 8, 0, 1},         {WAVE_FORMAT_PCM, 16, 2, 2},
      {WAVE_FORMAT_EXTENSIBLE, 24, 3, 0}, {WAVE_FORMAT_PCM, 32, 5, 6},
      {WAVE_FORMAT_EXTENSIBLE, 32, 6, 6}, {WAVE_FORMAT_IEEE_FLOAT, 32, 0, 6},
      {WAVE_FORMAT_EXTENSIBLE, 64, 0, 0},
  };
  for (const CCodeCase& c : cases) {
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
  CopyWaveFormat(nullptr, &copy);
  EXPECT_EQ(copy.Format.wFormatTag, 0);
}

}  // namespace
}  // namespace halvern::testing
