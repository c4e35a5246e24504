#include "platform/utf16.h"

namespace halvern::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(WString& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<WCHAR>(c);
  } else {
    c -= 0x10000;
    out += static_cast<WCHAR>(0xD800 + (c >> 10));
    out += static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
  }
}

}  // namespace

std::size_t Utf16Length(const WCHAR* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

std::string Utf16ToUtf8(const WCHAR* text) { return Utf16ToUtf8(text, Utf16Length(text)); }

std::string Utf16ToUtf8(const WCHAR* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
      const char32_t low = static_cast<char16_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = kReplacement;
    AppendUtf8(out, c);
  }
  return out;
}

// Decodes the character at text[*i] and advances past it.
static char32_t DecodeUtf8(std::string_view text, std::size_t* i) {
  const auto lead = static_cast<unsigned char>(text[*i]);
  std::size_t extra = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    c = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    c = lead & 0x1F;
    extra = 1;
  } else if ((lead & 0xF0) == 0xE0) {
    c = lead & 0x0F;
    extra = 2;
  } else if ((lead & 0xF8) == 0xF0) {
    c = lead & 0x07;
    extra = 3;
  } else {
    ++*i;
    return kReplacement;
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    if (*i + k >= text.size() || (static_cast<unsigned char>(text[*i + k]) & 0xC0) != 0x80) {
      ++*i;
      return kReplacement;
    }
    c = (c << 6) | (static_cast<unsigned char>(text[*i + k]) & 0x3F);
  }
  *i += 1 + extra;
  return c > 0x10FFFF || (c >= 0xD800 && c < 0xE000) ? kReplacement : c;
}

WString Utf8ToUtf16(std::string_view text) {
  WString out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) AppendUtf16(out, DecodeUtf8(text, &i));
  return out;
}

std::size_t Utf8ToUtf16(std::string_view text, WCHAR* out, std::size_t capacity) {
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = DecodeUtf8(text, &i);
    if (c < 0x10000) {
      if (written + 1 > capacity) break;
      out[written++] = static_cast<WCHAR>(c);
    } else {
      if (written + 2 > capacity) break;
      c -= 0x10000;
      out[written++] = static_cast<WCHAR>(0xD800 + (c >> 10));
      out[written++] = static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
    }
  }
  return written;
}

}  // namespace halvern::platform
