#include "endpoints/map_audio_error.h"

#include <cstdio>

#include "kovra_api.h"
#include "trace/trace.h"

namespace halvern {

namespace {

struct CKnownAudioError {
  HRESULT hr;
  const char* text;
  std::uint32_t code;
};

constexpr CKnownAudioError kKnownAudioErrors[] = {
    {AUDCLNT_E_NOT_INITIALIZED, "AUDCLNT_E_NOT_INITIALIZED", ResultClientState},
    {AUDCLNT_E_ALREADY_INITIALIZED, "AUDCLNT_E_ALREADY_INITIALIZED", ResultClientState},
    {AUDCLNT_E_UNSUPPORTED_FORMAT, "AUDCLNT_E_UNSUPPORTED_FORMAT", ResultUnsupportedFormat},
    {AUDCLNT_E_DEVICE_IN_USE, "AUDCLNT_E_DEVICE_IN_USE", ResultDeviceBusy},
    {AUDCLNT_E_EXCLUSIVE_MODE_ONLY, "AUDCLNT_E_EXCLUSIVE_MODE_ONLY", ResultDeviceBusy},
};

// Room for the longest error text the host's own tools expect (MAX_PATH characters).
constexpr std::size_t kErrorTextChars = 260;

}  // namespace

std::uint32_t MapAudioError(const char* function, const char* message, HRESULT hr) {
  if (SUCCEEDED(hr)) return ResultOk;
  char text[kErrorTextChars];
  std::uint32_t code = ResultFailed;
  std::snprintf(text, sizeof(text), "hr = %x", static_cast<unsigned>(hr));
  for (const CKnownAudioError& known : kKnownAudioErrors) {
    if (known.hr != hr) continue;
    std::snprintf(text, sizeof(text), "%s", known.text);
    code = known.code;
  }
  Trace(kTraceLevelError, kTraceAllContexts, "%s() - %s: %s", function, message, text);
  return code;
}

}  // namespace halvern
