#include "platform/debug_output.h"

#include <mutex>
#include <string>

#include "platform/win32.h"

namespace halvern::platform {

namespace {

struct SinkSlot {
  std::mutex lock;
  DebugOutputSink sink = nullptr;
  void* context = nullptr;
};

SinkSlot& Slot() {
  static SinkSlot slot;
  return slot;
}

std::string ToUtf8(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; *p != 0; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
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
  return out;
}

}  // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink, void* context) {
  SinkSlot& slot = Slot();
  std::lock_guard guard(slot.lock);
  DebugOutputSink previous = slot.sink;
  slot.sink = sink;
  slot.context = context;
  return previous;
}

void EmitDebugStringA(const char* text) {
  if (text == nullptr) return;
  SinkSlot& slot = Slot();
  {
    std::lock_guard guard(slot.lock);
    if (slot.sink != nullptr) {
      slot.sink(slot.context, text);
      return;
    }
  }
  OutputDebugStringA(text);
}

void EmitDebugStringW(const char16_t* text) {
  if (text == nullptr) return;
  SinkSlot& slot = Slot();
  {
    std::lock_guard guard(slot.lock);
    if (slot.sink != nullptr) {
      slot.sink(slot.context, ToUtf8(text).c_str());
      return;
    }
  }
  OutputDebugStringW(reinterpret_cast<LPCWSTR>(text));
}

}  // namespace halvern::platform
