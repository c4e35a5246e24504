#include "trace/dump_debug_engine.h"

#if defined(_WIN32)

#include <dbgeng.h>

#include <memory>
#include <type_traits>

#include "trace/trace.h"

// mingw-w64's dbgeng.h stops at IDebugControl3 and IDebugSymbols2. These are the SDK's
// declarations; identifiers from
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/dbgeng/nn-dbgeng-idebugcontrol4
// and .../nn-dbgeng-idebugsymbols3.
#if defined(__MINGW32__)
DEFINE_GUID(IID_IDebugControl4, 0x94e60ce9, 0x9b41, 0x4b19, 0x9f, 0xc0, 0x6d, 0x9e, 0xb3, 0x52,
            0x72, 0xb3);
DEFINE_GUID(IID_IDebugSymbols3, 0xf02fbecc, 0x50ac, 0x4f36, 0x9a, 0xd9, 0xc9, 0x75, 0xe8, 0xf3,
            0x2f, 0xf8);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
// Slots after IDebugControl3's, in the SDK's order. Types we never use are left opaque.
struct IDebugControl4 : public IDebugControl3 {
  STDMETHOD(GetLogFileWide)(PWSTR, ULONG, PULONG, PBOOL) PURE;
  STDMETHOD(OpenLogFileWide)(PCWSTR, BOOL) PURE;
  STDMETHOD(InputWide)(PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(ReturnInputWide)(PCWSTR) PURE;
  STDMETHODV(OutputWide)(ULONG, PCWSTR, ...) PURE;
  STDMETHOD(OutputVaListWide)(ULONG, PCWSTR, va_list) PURE;
  STDMETHODV(ControlledOutputWide)(ULONG, ULONG, PCWSTR, ...) PURE;
  STDMETHOD(ControlledOutputVaListWide)(ULONG, ULONG, PCWSTR, va_list) PURE;
  STDMETHODV(OutputPromptWide)(ULONG, PCWSTR, ...) PURE;
  STDMETHOD(OutputPromptVaListWide)(ULONG, PCWSTR, va_list) PURE;
  STDMETHOD(GetPromptTextWide)(PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(AssembleWide)(ULONG64, PCWSTR, PULONG64) PURE;
  STDMETHOD(DisassembleWide)(ULONG64, ULONG, PWSTR, ULONG, PULONG, PULONG64) PURE;
  STDMETHOD(GetProcessorTypeNamesWide)(ULONG, PWSTR, ULONG, PULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetTextMacroWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(SetTextMacroWide)(ULONG, PCWSTR) PURE;
  STDMETHOD(EvaluateWide)(PCWSTR, ULONG, PDEBUG_VALUE, PULONG) PURE;
  STDMETHOD(ExecuteWide)(ULONG, PCWSTR, ULONG) PURE;
  STDMETHOD(ExecuteCommandFileWide)(ULONG, PCWSTR, ULONG) PURE;
  STDMETHOD(GetBreakpointByIndex2)(ULONG, void**) PURE;
  STDMETHOD(GetBreakpointById2)(ULONG, void**) PURE;
  STDMETHOD(AddBreakpoint2)(ULONG, ULONG, void**) PURE;
  STDMETHOD(RemoveBreakpoint2)(void*) PURE;
  STDMETHOD(AddExtensionWide)(PCWSTR, ULONG, PULONG64) PURE;
  STDMETHOD(GetExtensionByPathWide)(PCWSTR, PULONG64) PURE;
  STDMETHOD(CallExtensionWide)(ULONG64, PCWSTR, PCWSTR) PURE;
  STDMETHOD(GetExtensionFunctionWide)(ULONG64, PCWSTR, FARPROC*) PURE;
  STDMETHOD(GetEventFilterTextWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetEventFilterCommandWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(SetEventFilterCommandWide)(ULONG, PCWSTR) PURE;
  STDMETHOD(GetSpecificFilterArgumentWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(SetSpecificFilterArgumentWide)(ULONG, PCWSTR) PURE;
  STDMETHOD(GetExceptionFilterSecondCommandWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(SetExceptionFilterSecondCommandWide)(ULONG, PCWSTR) PURE;
  STDMETHOD(GetLastEventInformationWide)
  (PULONG, PULONG, PULONG, PVOID, ULONG, PULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetTextReplacementWide)(PCWSTR, ULONG, PWSTR, ULONG, PULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(SetTextReplacementWide)(PCWSTR, PCWSTR) PURE;
  STDMETHOD(SetExpressionSyntaxByNameWide)(PCWSTR) PURE;
  STDMETHOD(GetExpressionSyntaxNamesWide)(ULONG, PWSTR, ULONG, PULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetEventIndexDescriptionWide)(ULONG, ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetLogFile2)(PSTR, ULONG, PULONG, PULONG) PURE;
  STDMETHOD(OpenLogFile2)(PCSTR, ULONG) PURE;
  STDMETHOD(GetLogFile2Wide)(PWSTR, ULONG, PULONG, PULONG) PURE;
  STDMETHOD(OpenLogFile2Wide)(PCWSTR, ULONG) PURE;
  STDMETHOD(GetSystemVersionValues)(PULONG, PULONG, PULONG, PULONG, PULONG) PURE;
  STDMETHOD(GetSystemVersionString)(ULONG, PSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetSystemVersionStringWide)(ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetContextStackTrace)
  (PVOID StartContext, ULONG StartContextSize, PDEBUG_STACK_FRAME Frames, ULONG FramesSize,
   PVOID FrameContexts, ULONG FrameContextsSize, ULONG FrameContextsEntrySize,
   PULONG FramesFilled) PURE;
  STDMETHOD(OutputContextStackTrace)
  (ULONG, PDEBUG_STACK_FRAME, ULONG, PVOID, ULONG, ULONG, ULONG) PURE;
  STDMETHOD(GetStoredEventInformation)
  (PULONG Type, PULONG ProcessId, PULONG ThreadId, PVOID Context, ULONG ContextSize,
   PULONG ContextUsed, PVOID ExtraInformation, ULONG ExtraInformationSize,
   PULONG ExtraInformationUsed) PURE;
  STDMETHOD(GetManagedStatus)(PULONG, ULONG, PSTR, ULONG, PULONG) PURE;
  STDMETHOD(GetManagedStatusWide)(PULONG, ULONG, PWSTR, ULONG, PULONG) PURE;
  STDMETHOD(ResetManagedStatus)(ULONG) PURE;
};
// Only methods of IDebugSymbols are called, and they open IDebugSymbols3's table as they open
// IDebugSymbols2's; the slots it adds after those are not declared.
struct IDebugSymbols3 : public IDebugSymbols2 {};
#pragma GCC diagnostic pop
#endif

namespace halvern {
namespace {

// Sizes the engine path works with.
constexpr ULONG kContextBytes = 1024;
constexpr ULONG kMaxEngineFrames = 1024;
constexpr ULONG kImageNameBytes = 256;
constexpr int kMaxNameChars = 255;

using DebugCreateFunction = HRESULT(STDAPICALLTYPE*)(REFIID, PVOID*);

struct LibraryCloser {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, Releaser>;

template <typename T>
HRESULT Query(IUnknown* from, REFIID iid, ComPtr<T>& to) {
  void* raw = nullptr;
  HRESULT hr = from->QueryInterface(iid, &raw);
  if (SUCCEEDED(hr)) to.reset(static_cast<T*>(raw));
  return hr;
}

void Fail(const char* what, HRESULT hr) {
  Trace(kTraceLevelError, kTraceAllContexts, "%s() - %s: %x\n", "DebugEngineCallStack", what,
        static_cast<unsigned>(hr));
}

}  // namespace

bool DebugEngineCallStack(const WCHAR* dumpPath, CallStackFrameRecord* frames, int maxFrames,
                          int* frameCount, int& result) {
  // Loaded at run time, so that a system without the engine still gets our walker.
  std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser> engine(
      LoadLibraryExW(L"dbgeng.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!engine) return false;
  auto create = reinterpret_cast<DebugCreateFunction>(
      reinterpret_cast<void*>(GetProcAddress(engine.get(), "DebugCreate")));
  if (!create) return false;

  // Declared in the reverse of the release order: symbols, control, client 4, client.
  ComPtr<IDebugClient> client;
  ComPtr<IDebugClient4> client4;
  ComPtr<IDebugControl4> control;
  ComPtr<IDebugSymbols3> symbols;
  void* raw = nullptr;
  HRESULT hr = create(IID_IDebugClient, &raw);
  if (FAILED(hr)) return false;
  client.reset(static_cast<IDebugClient*>(raw));
  if (FAILED(Query(client.get(), IID_IDebugClient4, client4)) ||
      FAILED(Query(client.get(), IID_IDebugControl4, control)) ||
      FAILED(Query(client.get(), IID_IDebugSymbols3, symbols))) {
    return false;
  }
  hr = client4->OpenDumpFileWide(dumpPath, 0);
  if (FAILED(hr)) {
    Fail("The debugger engine cannot open the dump, walking it ourselves", hr);
    return false;
  }
  result = 0;
  hr = control->WaitForEvent(0, INFINITE);
  if (FAILED(hr)) {
    Fail("Unable to load the dump", hr);
    return true;
  }
  std::unique_ptr<BYTE[]> context(new BYTE[kContextBytes]());
  ULONG type = 0, processId = 0, threadId = 0, contextUsed = 0;
  hr = control->GetStoredEventInformation(&type, &processId, &threadId, context.get(),
                                          kContextBytes, &contextUsed, nullptr, 0, nullptr);
  if (FAILED(hr)) {
    Fail("Unable to get the stored event", hr);
    return true;
  }
  std::unique_ptr<DEBUG_STACK_FRAME[]> stack(new DEBUG_STACK_FRAME[kMaxEngineFrames]());
  std::unique_ptr<BYTE[]> frameContexts(new BYTE[std::size_t{contextUsed} * kMaxEngineFrames]);
  ULONG filled = 0;
  hr = control->GetContextStackTrace(context.get(), contextUsed, stack.get(), kMaxEngineFrames,
                                     frameContexts.get(), contextUsed * kMaxEngineFrames,
                                     contextUsed, &filled);
  if (FAILED(hr)) {
    Fail("Unable to walk the stack", hr);
    return true;
  }
  for (ULONG i = 0; i < filled && i < kMaxEngineFrames && *frameCount < maxFrames; ++i) {
    ULONG index = 0;
    ULONG64 base = 0;
    DEBUG_MODULE_PARAMETERS parameters{};
    char name[kImageNameBytes] = {};
    ULONG nameSize = 0;
    // Frames outside every module, or whose module cannot be named, are left out.
    if (FAILED(symbols->GetModuleByOffset(stack[i].InstructionOffset, 0, &index, &base)) ||
        FAILED(symbols->GetModuleParameters(1, &base, 0, &parameters)) ||
        FAILED(symbols->GetModuleNames(index, base, nullptr, 0, nullptr, nullptr, 0, nullptr, name,
                                       kImageNameBytes, &nameSize))) {
      continue;
    }
    name[kImageNameBytes - 1] = 0;
    wchar_t wide[kImageNameBytes] = {};
    MultiByteToWideChar(CP_THREAD_ACP, 0, name, -1, wide, kImageNameBytes);
    CallStackFrameRecord& out = frames[(*frameCount)++];
    int length = 0;
    for (; length < kMaxNameChars && wide[length] != 0; ++length)
      out.imageName[length] = wide[length];
    out.imageName[length] = 0;
    out.offset = stack[i].InstructionOffset - parameters.Base;
  }
  result = 1;
  return true;
}

}  // namespace halvern

#endif  // _WIN32
