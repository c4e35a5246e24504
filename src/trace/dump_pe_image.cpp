#include "trace/dump_pe_image.h"

#include <algorithm>

namespace halvern {
namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr std::uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr std::uint64_t kCoffHeaderSize = 20;
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kRuntimeFunctionSize = 12;
constexpr std::uint32_t kExceptionDirectory = 3;

}  // namespace

bool CPeImage::Parse(std::vector<std::uint8_t> bytes) {
  *this = CPeImage();
  m_Bytes = std::move(bytes);
  CByteView file(m_Bytes.data(), m_Bytes.size());
  std::uint16_t dosMagic = 0, machine = 0, sections = 0, optionalSize = 0, optionalMagic = 0;
  std::uint32_t peOffset = 0, signature = 0, directories = 0;
  if (!file.Read(0, dosMagic) || dosMagic != kDosMagic || !file.Read(0x3C, peOffset)) return false;
  std::uint64_t coff = std::uint64_t{peOffset} + 4;
  std::uint64_t optional = coff + kCoffHeaderSize;
  if (!file.Read(peOffset, signature) || signature != kPeSignature || !file.Read(coff, machine) ||
      machine != kMachineAmd64 || !file.Read(coff + 2, sections) ||
      !file.Read(coff + 4, m_TimeDateStamp) || !file.Read(coff + 16, optionalSize) ||
      !file.Read(optional, optionalMagic) || optionalMagic != kOptionalMagicPe32Plus ||
      !file.Read(optional + 56, m_SizeOfImage) || !file.Read(optional + 108, directories)) {
    return false;
  }
  std::uint64_t directory = optional + 112 + 8 * kExceptionDirectory;
  std::uint32_t tableBytes = 0;
  if (directories > kExceptionDirectory && directory + 8 <= coff + kCoffHeaderSize + optionalSize) {
    file.Read(directory, m_FunctionTable);
    file.Read(directory + 4, tableBytes);
  }
  std::uint64_t headers = optional + optionalSize;
  if (!file.Has(headers, sections * kSectionHeaderSize)) return false;
  for (std::uint16_t i = 0; i < sections; ++i) {
    std::uint64_t at = headers + i * kSectionHeaderSize;
    std::uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0;
    file.Read(at + 8, virtualSize);
    file.Read(at + 12, rva);
    file.Read(at + 16, rawSize);
    file.Read(at + 20, rawOffset);
    // Bytes past the raw data are zero-filled in memory; we only serve what the file holds.
    std::uint32_t present = std::min(virtualSize ? virtualSize : rawSize, rawSize);
    if (!file.Has(rawOffset, present)) present = 0;
    m_Sections.push_back({rva, present, rawOffset});
  }
  if (AtRva(m_FunctionTable, tableBytes).Size() == tableBytes) {
    m_FunctionCount = static_cast<std::uint32_t>(tableBytes / kRuntimeFunctionSize);
  }
  return true;
}

CByteView CPeImage::AtRva(std::uint32_t rva, std::uint32_t length) const {
  for (const Section& section : m_Sections) {
    std::uint64_t into = std::uint64_t{rva} - section.rva;
    if (rva < section.rva || into + length > section.size) continue;
    return CByteView(m_Bytes.data(), m_Bytes.size()).Sub(section.fileOffset + into, length);
  }
  return {};
}

bool CPeImage::FindFunction(std::uint32_t rva, RuntimeFunction& out) const {
  CByteView table = AtRva(m_FunctionTable, m_FunctionCount * 12u);
  // The table is sorted by start address; a table that is not gives a wrong answer, not a fault.
  std::uint32_t low = 0, high = m_FunctionCount;
  while (low < high) {
    std::uint32_t mid = low + (high - low) / 2;
    RuntimeFunction entry;
    table.Read(mid * kRuntimeFunctionSize, entry.begin);
    table.Read(mid * kRuntimeFunctionSize + 4, entry.end);
    table.Read(mid * kRuntimeFunctionSize + 8, entry.unwindInfo);
    if (rva < entry.begin) {
      high = mid;
    } else if (rva >= entry.end) {
      low = mid + 1;
    } else {
      out = entry;
      return true;
    }
  }
  return false;
}

}  // namespace halvern
