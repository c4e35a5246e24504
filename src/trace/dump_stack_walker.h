// Our own stack walk over a minidump: from the stored exception's context, frame by frame, with
// the unwind data of the modules' images where they can be found and a stack scan where not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "trace/dump_pe_image.h"
#include "trace/dump_reader.h"

namespace halvern {

// Supplies the image file of a module of the dump, or null when it has none.
class IDumpImageSource {
 public:
  virtual ~IDumpImageSource() = default;
  virtual const CPeImage* ImageFor(const MinidumpModule& module) = 0;
};

class CDumpStackWalker {
 public:
  // As many frames as the debugger engine is asked for.
  static constexpr std::size_t kMaxFrames = 1024;
  // How far above a frame's stack pointer the scan looks for a return address.
  static constexpr std::uint64_t kScanBytes = 64 * 1024;

  CDumpStackWalker(const CMinidumpReader& dump, IDumpImageSource& images)
      : m_Dump(dump), m_Images(images) {}

  // Instruction addresses, innermost first. False when the dump holds no usable stored event;
  // a walk that cannot go further ends with the frames found so far.
  bool Walk(std::vector<std::uint64_t>& frames) const;

 private:
  bool ScanForReturnAddress(X64Context& context) const;

  const CMinidumpReader& m_Dump;
  IDumpImageSource& m_Images;
};

}  // namespace halvern
