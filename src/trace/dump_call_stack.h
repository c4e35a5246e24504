// The call stack of the event stored in a crash dump, as image name and offset per frame. On
// Windows the debugger engine reads the dump; where it is missing or cannot open the dump (Wine),
// and everywhere else, our own walker does (see dump_image_finder.h for where it finds images).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kovra_api.h"
#include "platform/win32.h"

namespace halvern {

struct DumpStackRecord {
  std::u16string imageName;
  std::uint64_t offset = 0;
};

// Returns 1 and writes at most maxFrames records (innermost first) and their count, or 0 with a
// count of 0 when the dump cannot be read or holds no stored event. Null arguments: 0, nothing
// touched.
int DumpGetCallStackFromMemoryDump(const WCHAR* dumpPath, CallStackFrameRecord* frames,
                                   int maxFrames, int* frameCount) noexcept;

// Our own walker alone, over a dump already in memory; dumpFile names the folder searched first
// for module images. False when the dump is malformed or holds no stored event; frames in no
// module are left out.
bool WalkDumpCallStack(const std::vector<std::uint8_t>& dump, const std::filesystem::path& dumpFile,
                       std::vector<DumpStackRecord>& records);

// Copies records into the caller's array as the export returns them: at most maxFrames, names cut
// to 255 characters.
int PackCallStackRecords(const std::vector<DumpStackRecord>& records, CallStackFrameRecord* frames,
                         int maxFrames);

}  // namespace halvern
