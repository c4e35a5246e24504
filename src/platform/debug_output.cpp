#include "platform/debug_output.h"

#include <mutex>
#include <string>

#include "platform/utf16.h"
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

}  // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink, void* context, void** previousContext) {
  SinkSlot& slot = Slot();
  std::lock_guard guard(slot.lock);
  DebugOutputSink previous = slot.sink;
  if (previousContext != nullptr) *previousContext = slot.context;
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
      slot.sink(slot.context, Utf16ToUtf8(reinterpret_cast<const WCHAR*>(text)).c_str());
      return;
    }
  }
  OutputDebugStringW(reinterpret_cast<LPCWSTR>(text));
}

}  // namespace halvern::platform
