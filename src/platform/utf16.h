// UTF-8 <-> UTF-16 for the places where the platform wants UTF-16 (WCHAR is wchar_t on Windows and
// char16_t elsewhere, 16 bits on both). Unpaired surrogates and invalid bytes become U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace halvern::platform {

using WString = std::basic_string<WCHAR>;

std::string Utf16ToUtf8(const WCHAR* text, std::size_t length);
std::string Utf16ToUtf8(const WCHAR* text);
WString Utf8ToUtf16(std::string_view text);

// Converts into a fixed buffer without allocating; stops before a character that does not fit.
// Returns the code units written (no terminator is added).
std::size_t Utf8ToUtf16(std::string_view text, WCHAR* out, std::size_t capacity);

// Length of a zero-terminated UTF-16 string.
std::size_t Utf16Length(const WCHAR* text);

}  // namespace halvern::platform
