#include "trace/dump_stack_walker.h"

#include "trace/dump_x64_unwinder.h"

namespace halvern {

bool CDumpStackWalker::Walk(std::vector<std::uint64_t>& frames) const {
  frames.clear();
  X64Context context;
  if (!m_Dump.ExceptionContext(context)) return false;
  for (bool innermost = true; frames.size() < kMaxFrames && context.rip != 0; innermost = false) {
    frames.push_back(context.rip);
    std::uint64_t stack = context.Rsp();
    const MinidumpModule* module = m_Dump.ModuleAt(context.rip);
    const CPeImage* image = module ? m_Images.ImageFor(*module) : nullptr;
    bool unwound = image ? CX64Unwinder(m_Dump, *image, module->base).Unwind(context, innermost)
                         : ScanForReturnAddress(context);
    // Every caller's frame lies above its callee's: anything else is a loop or garbage.
    if (!unwound || context.Rsp() <= stack) break;
  }
  return true;
}

// Without the image nothing says where the frame ends. The first stack slot above the stack
// pointer that holds an address inside a loaded module is taken for the return address; the
// other registers are left as they are. Data that looks like code addresses gives extra frames.
bool CDumpStackWalker::ScanForReturnAddress(X64Context& context) const {
  std::uint64_t low = 0, high = 0;
  std::uint64_t end = context.Rsp() + kScanBytes;
  if (end < context.Rsp()) return false;
  if (m_Dump.ExceptionStack(low, high) && high < end) end = high;
  for (std::uint64_t slot = context.Rsp(); slot + 8 <= end; slot += 8) {
    std::uint64_t value = 0;
    if (!m_Dump.ReadU64(slot, value)) return false;
    if (m_Dump.ModuleAt(value) != nullptr) {
      context.rip = value;
      context.Rsp() = slot + 8;
      return true;
    }
  }
  return false;
}

}  // namespace halvern
