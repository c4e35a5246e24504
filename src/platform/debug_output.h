// Debugger output as the library emits it. Every line of the library goes through these two
// functions, so tests can capture it on Windows and elsewhere alike.
#pragma once

namespace halvern::platform {

// Receives every emitted line (UTF-8) while installed; nothing reaches the debugger meanwhile.
using DebugOutputSink = void (*)(void* context, const char* utf8Line);

// Installs (or, with null, removes) the process-wide capture sink; returns the previous one and,
// when asked, its context, so that a nested capture can put both back.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink, void* context,
                                   void** previousContext = nullptr);

// The capture sink when installed, else OutputDebugStringA / OutputDebugStringW.
void EmitDebugStringA(const char* text);
void EmitDebugStringW(const char16_t* text);

}  // namespace halvern::platform
