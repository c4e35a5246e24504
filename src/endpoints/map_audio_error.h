// Turns a Windows status into the small result code the host sees, and writes the one error line
// that explains it.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace halvern {

// 0 for any success (nothing written); for a failure writes "<function>() - <message>: <text>" at
// the error level and returns 10, 11, 12 for the audio client's state, format and busy errors,
// 1 for everything else.
std::uint32_t MapAudioError(const char* function, const char* message, HRESULT hr);

}  // namespace halvern
