#include "trace/dump_call_stack.h"

#include <algorithm>

#include "platform/utf16.h"
#include "trace/dump_debug_engine.h"
#include "trace/dump_image_finder.h"
#include "trace/dump_reader.h"
#include "trace/dump_stack_walker.h"
#include "trace/trace.h"

namespace halvern {
namespace {

// Minidumps of one process are far smaller; a full-memory dump this large is refused.
constexpr std::uint64_t kMaxDumpBytes = 4ull << 30;
constexpr std::size_t kMaxNameChars = 255;

std::filesystem::path PathOf(const WCHAR* dumpPath) {
#if defined(_WIN32)
  return std::filesystem::path(std::wstring(dumpPath));
#else
  return std::filesystem::path(platform::Utf16ToUtf8(dumpPath));
#endif
}

int WalkDumpFile(const WCHAR* dumpPath, CallStackFrameRecord* frames, int maxFrames,
                 int* frameCount) {
  std::filesystem::path file = PathOf(dumpPath);
  std::vector<std::uint8_t> bytes;
  std::vector<DumpStackRecord> records;
  if (!ReadWholeFile(file, kMaxDumpBytes, bytes)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to read the dump file: %x\n",
          __func__, static_cast<unsigned>(E_FAIL));
    return 0;
  }
  if (!WalkDumpCallStack(bytes, file, records)) {
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - The dump is malformed or holds no stored event: %x\n", __func__,
          static_cast<unsigned>(E_FAIL));
    return 0;
  }
  *frameCount = PackCallStackRecords(records, frames, maxFrames);
  return 1;
}

}  // namespace

bool WalkDumpCallStack(const std::vector<std::uint8_t>& dump, const std::filesystem::path& dumpFile,
                       std::vector<DumpStackRecord>& records) {
  records.clear();
  CMinidumpReader reader;
  if (!reader.Parse(CByteView(dump.data(), dump.size()))) return false;
  CDumpImageFinder images(CDumpImageFinder::ImageFolders(dumpFile));
  std::vector<std::uint64_t> frames;
  if (!CDumpStackWalker(reader, images).Walk(frames)) return false;
  for (std::uint64_t address : frames) {
    if (const MinidumpModule* module = reader.ModuleAt(address)) {
      records.push_back({module->name, address - module->base});
    }
  }
  return true;
}

int PackCallStackRecords(const std::vector<DumpStackRecord>& records, CallStackFrameRecord* frames,
                         int maxFrames) {
  int written = 0;
  for (const DumpStackRecord& record : records) {
    if (written >= maxFrames) break;
    CallStackFrameRecord& out = frames[written++];
    std::size_t length = std::min(record.imageName.size(), kMaxNameChars);
    std::copy_n(record.imageName.begin(), length, out.imageName);
    out.imageName[length] = 0;
    out.offset = record.offset;
  }
  return written;
}

int DumpGetCallStackFromMemoryDump(const WCHAR* dumpPath, CallStackFrameRecord* frames,
                                   int maxFrames, int* frameCount) noexcept {
  if (dumpPath == nullptr || frames == nullptr || frameCount == nullptr) return 0;
  *frameCount = 0;
  try {
    int result = 0;
    if (DebugEngineCallStack(dumpPath, frames, maxFrames, frameCount, result)) return result;
    return WalkDumpFile(dumpPath, frames, maxFrames, frameCount);
  } catch (...) {
    *frameCount = 0;  // out of memory, or a path the file system refuses
    return 0;
  }
}

}  // namespace halvern
