// One step of an x64 stack walk from the unwind data (.pdata/.xdata) of the frame's image: the
// caller's registers from the callee's, with the stack read from the dump.
#pragma once

#include <cstdint>

#include "trace/dump_pe_image.h"
#include "trace/dump_reader.h"

namespace halvern {

class CX64Unwinder {
 public:
  CX64Unwinder(const CMinidumpReader& memory, const CPeImage& image, std::uint64_t imageBase)
      : m_Memory(memory), m_Image(image), m_Base(imageBase) {}

  // Replaces context with the caller's. innermost: the frame stopped at its own instruction
  // (a fault), not at a return address. False when the unwind data or the stack it needs is
  // missing or malformed.
  bool Unwind(X64Context& context, bool innermost) const;

 private:
  bool ApplyCodes(const RuntimeFunction& function, std::uint32_t prologOffset, bool wholeProlog,
                  X64Context& context, bool& machineFrame) const;

  const CMinidumpReader& m_Memory;
  const CPeImage& m_Image;
  std::uint64_t m_Base;
};

}  // namespace halvern
