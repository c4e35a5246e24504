// A ready-made machine for tests and tools: the Halvern virtual sound card (its capture endpoint,
// and its playback endpoint, hidden as a fresh driver installs it) plus onboard speakers and a USB
// headset, each with its own format.
#pragma once

#include "platform/simaudio/sim_audio.h"

namespace halvern::simaudio {

inline constexpr char16_t kHalvernCaptureId[] =
    u"{0.0.1.00000000}.{5f0e2b6a-7c41-4d2e-9a51-0c1b7e3d4a01}";
inline constexpr char16_t kHalvernPlaybackId[] =
    u"{0.0.0.00000000}.{5f0e2b6a-7c41-4d2e-9a51-0c1b7e3d4a02}";
inline constexpr char16_t kSpeakersId[] =
    u"{0.0.0.00000000}.{8d2c6e10-3b7a-4f59-a1c4-6e0f2d9b7c11}";
inline constexpr char16_t kHeadsetRenderId[] =
    u"{0.0.0.00000000}.{a4e71f3c-92d0-4b8e-8f16-3c5d7a2e9b21}";
inline constexpr char16_t kHeadsetCaptureId[] =
    u"{0.0.1.00000000}.{a4e71f3c-92d0-4b8e-8f16-3c5d7a2e9b22}";

// Adds the endpoints above to the current machine (call Reset first for a clean one):
//   Halvern capture   48000 Hz, 2 ch, 16-bit PCM device format; active, default capture endpoint
//   Halvern playback  48000 Hz, 2 ch, 16-bit; disabled (hidden)
//   Speakers          48000 Hz, 2 ch, 24-bit; active, default render endpoint
//   Headset           44100 Hz, 2 ch, 16-bit render and 16000 Hz, 1 ch, 16-bit capture; active
// The mix formats are 32-bit float at the device rate and channel count, as on Windows.
HRESULT AddStandardMachine();

}  // namespace halvern::simaudio
