#include "trace/dump_x64_unwinder.h"

namespace halvern {
namespace {

// Unwind operations; https://learn.microsoft.com/en-us/cpp/build/exception-handling-x64
enum UnwindOp : std::uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kEpilogOrSaveXmm = 6,  // version 2: epilog description; version 1: old 64-bit xmm save
  kSpareOrSaveXmmFar = 7,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachframe = 10,
};
constexpr std::uint8_t kFlagChainInfo = 0x04;
// Chains longer than this are cycles in a broken image.
constexpr int kMaxChain = 32;

}  // namespace

bool CX64Unwinder::Unwind(X64Context& context, bool innermost) const {
  std::uint64_t pc = context.rip - m_Base;
  if (pc >= 0xFFFFFFFFu) return false;
  // A return address may already lie past the end of a call that never returns.
  std::uint32_t lookup = static_cast<std::uint32_t>(innermost || pc == 0 ? pc : pc - 1);
  RuntimeFunction function;
  bool machineFrame = false;
  X64Context caller = context;
  if (m_Image.FindFunction(lookup, function)) {
    std::uint32_t prologOffset = static_cast<std::uint32_t>(pc) - function.begin;
    bool wholeProlog = false;
    for (int depth = 0;; ++depth) {
      if (depth == kMaxChain) return false;
      bool chained = false;
      RuntimeFunction parent;
      if (!ApplyCodes(function, prologOffset, wholeProlog, caller, machineFrame)) return false;
      CByteView header = m_Image.AtRva(function.unwindInfo, 4);
      std::uint8_t flags = 0, codes = 0;
      header.Read(0, flags);
      header.Read(2, codes);
      if ((flags >> 3) & kFlagChainInfo) {
        std::uint32_t at = function.unwindInfo + 4 + 2 * ((codes + 1u) & ~1u);
        CByteView entry = m_Image.AtRva(at, 12);
        chained = entry.Read(0, parent.begin) && entry.Read(4, parent.end) &&
                  entry.Read(8, parent.unwindInfo);
        if (!chained) return false;
      }
      if (!chained) break;
      function = parent;
      wholeProlog = true;  // a parent's prolog ran completely before the child's code
    }
  }
  if (!machineFrame) {  // leaf functions and ordinary frames: return address on top
    if (!m_Memory.ReadU64(caller.Rsp(), caller.rip)) return false;
    caller.Rsp() += 8;
  }
  context = caller;
  return true;
}

bool CX64Unwinder::ApplyCodes(const RuntimeFunction& function, std::uint32_t prologOffset,
                              bool wholeProlog, X64Context& context, bool& machineFrame) const {
  CByteView header = m_Image.AtRva(function.unwindInfo, 4);
  std::uint8_t versionFlags = 0, prologSize = 0, count = 0, frame = 0;
  if (!header.Read(0, versionFlags) || !header.Read(1, prologSize) || !header.Read(2, count) ||
      !header.Read(3, frame)) {
    return false;
  }
  std::uint8_t version = versionFlags & 7;
  if (version != 1 && version != 2) return false;
  CByteView codes = m_Image.AtRva(function.unwindInfo + 4, 2u * count);
  if (codes.Size() != 2u * count) return false;
  std::uint8_t frameRegister = frame & 0xF;
  std::uint64_t frameOffset = 16u * (frame >> 4);

  auto slot = [&](int i) {
    std::uint16_t value = 0;
    codes.Read(2u * i, value);
    return value;
  };
  // Inside the prolog only the operations already done are undone.
  auto applies = [&](int i) {
    return wholeProlog || prologOffset >= prologSize || (slot(i) & 0xFF) <= prologOffset;
  };

  // Offsets of saved registers count from the fixed allocation's base: the frame register less
  // its offset once the prolog has set it, else RSP.
  std::uint64_t base = context.Rsp();
  for (int i = 0; i < count; ++i) {
    if (((slot(i) >> 8) & 0xF) == kSetFpreg && applies(i)) {
      if (frameRegister == 0) return false;
      base = context.reg[frameRegister] - frameOffset;
    }
  }

  for (int i = 0; i < count;) {
    std::uint16_t code = slot(i);
    std::uint8_t op = (code >> 8) & 0xF;
    std::uint8_t info = code >> 12;
    bool apply = applies(i);
    int slots = 1;
    std::uint64_t value = 0;
    switch (op) {
      case kPushNonvol:
        if (apply) {
          if (!m_Memory.ReadU64(context.Rsp(), context.reg[info])) return false;
          context.Rsp() += 8;
        }
        break;
      case kAllocLarge:
        if (info > 1) return false;
        slots = info == 0 ? 2 : 3;
        if (i + slots > count) return false;
        value = info == 0 ? std::uint64_t{slot(i + 1)} * 8
                          : slot(i + 1) | (std::uint64_t{slot(i + 2)} << 16);
        if (apply) context.Rsp() += value;
        break;
      case kAllocSmall:
        if (apply) context.Rsp() += info * 8u + 8u;
        break;
      case kSetFpreg:
        if (apply) context.Rsp() = context.reg[frameRegister] - frameOffset;
        break;
      case kSaveNonvol:
      case kSaveNonvolFar:
        slots = op == kSaveNonvol ? 2 : 3;
        if (i + slots > count) return false;
        value = op == kSaveNonvol ? std::uint64_t{slot(i + 1)} * 8
                                  : slot(i + 1) | (std::uint64_t{slot(i + 2)} << 16);
        if (apply && !m_Memory.ReadU64(base + value, context.reg[info])) return false;
        break;
      case kEpilogOrSaveXmm:
        // Epilog descriptions (version 2) take one slot each; the walk does not need them.
        slots = version == 2 ? 1 : 2;
        break;
      case kSaveXmm128:
        slots = 2;  // xmm registers are not tracked
        break;
      case kSpareOrSaveXmmFar:
      case kSaveXmm128Far:
        slots = 3;
        break;
      case kPushMachframe:
        if (apply) {
          // The processor pushed SS, RSP, EFLAGS, CS, RIP and maybe an error code.
          std::uint64_t top = context.Rsp() + (info ? 8 : 0);
          if (!m_Memory.ReadU64(top, context.rip) || !m_Memory.ReadU64(top + 24, context.Rsp())) {
            return false;
          }
          machineFrame = true;
        }
        break;
      default:
        return false;
    }
    if (i + slots > count) return false;
    i += slots;
  }
  return true;
}

}  // namespace halvern
