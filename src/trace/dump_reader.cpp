#include "trace/dump_reader.h"

#include <algorithm>

namespace halvern {
namespace {

constexpr std::uint32_t kSignature = 0x504D444Du;  // "MDMP"
constexpr std::uint16_t kVersion = 0xA793;
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kMemoryListStream = 5;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kSystemInfoStream = 7;
constexpr std::uint32_t kMemory64ListStream = 9;
constexpr std::uint16_t kArchitectureAmd64 = 9;

constexpr std::uint64_t kDirectoryEntrySize = 12;
constexpr std::uint64_t kThreadSize = 48;
constexpr std::uint64_t kModuleSize = 108;
constexpr std::uint64_t kMemoryDescriptorSize = 16;
constexpr std::uint64_t kExceptionStreamSize = 168;
constexpr std::uint64_t kExceptionContextOffset = 160;
// CONTEXT (AMD64): RAX..R15 from byte 120, Rip at 248.
constexpr std::uint64_t kContextRegisters = 120;
constexpr std::uint64_t kContextRip = 248;
constexpr std::uint32_t kMaxNameBytes = 32768;  // UNICODE_STRING's limit

}  // namespace

bool CMinidumpReader::Parse(CByteView file) {
  *this = CMinidumpReader();
  m_File = file;
  std::uint32_t signature = 0, version = 0, streams = 0, directory = 0;
  if (!file.Read(0, signature) || !file.Read(4, version) || !file.Read(8, streams) ||
      !file.Read(12, directory)) {
    return false;
  }
  if (signature != kSignature || (version & 0xFFFFu) != kVersion) return false;
  if (!file.Has(directory, std::uint64_t{streams} * kDirectoryEntrySize)) return false;

  // The first stream of each type counts, as the system's readers take it.
  Location found[kMemory64ListStream + 1] = {};
  for (std::uint32_t i = 0; i < streams; ++i) {
    std::uint64_t entry = directory + i * kDirectoryEntrySize;
    std::uint32_t type = 0;
    Location where{};
    file.Read(entry, type);
    file.Read(entry + 4, where.size);
    file.Read(entry + 8, where.rva);
    if (type > kMemory64ListStream || found[type].size != 0 || where.size == 0) continue;
    // Whole streams are checked before any is read, so a cut file fails at once.
    if (!file.Has(where.rva, where.size)) return false;
    found[type] = where;
  }
  // The exception first: without it there is nothing to walk.
  for (std::uint32_t type : {kExceptionStream, kSystemInfoStream, kThreadListStream,
                             kModuleListStream, kMemoryListStream, kMemory64ListStream}) {
    if (found[type].size != 0 && !ParseStream(type, found[type])) return false;
  }
  std::sort(m_Modules.begin(), m_Modules.end(),
            [](const auto& a, const auto& b) { return a.base < b.base; });
  std::sort(m_Memory.begin(), m_Memory.end(),
            [](const auto& a, const auto& b) { return a.start < b.start; });
  return true;
}

bool CMinidumpReader::ParseStream(std::uint32_t type, Location where) {
  CByteView stream = m_File.Sub(where.rva, where.size);
  switch (type) {
    case kThreadListStream:
      return ParseThreadList(stream);
    case kModuleListStream:
      return ParseModuleList(stream);
    case kMemoryListStream:
      return ParseMemoryList(stream);
    case kMemory64ListStream:
      return ParseMemory64List(stream);
    case kExceptionStream:
      return ParseException(stream);
    default: {
      std::uint16_t architecture = 0;
      return stream.Read(0, architecture) && architecture == kArchitectureAmd64;
    }
  }
}

bool CMinidumpReader::ParseThreadList(CByteView stream) {
  std::uint32_t count = 0;
  if (!stream.Read(0, count) || !stream.Has(4, count * kThreadSize)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t at = 4 + i * kThreadSize;
    std::uint32_t id = 0, stackSize = 0, stackRva = 0;
    std::uint64_t stackStart = 0;
    stream.Read(at, id);
    stream.Read(at + 24, stackStart);
    stream.Read(at + 32, stackSize);
    stream.Read(at + 36, stackRva);
    if (stackSize == 0) continue;  // a thread without captured stack
    if (!m_File.Has(stackRva, stackSize)) return false;
    m_ThreadIds.push_back(id);
    m_ThreadStacks.push_back({stackStart, stackSize, stackRva});
    m_Memory.push_back({stackStart, stackSize, stackRva});
  }
  return true;
}

bool CMinidumpReader::ParseModuleList(CByteView stream) {
  std::uint32_t count = 0;
  if (!stream.Read(0, count) || !stream.Has(4, count * kModuleSize)) return false;
  m_Modules.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t at = 4 + i * kModuleSize;
    MinidumpModule module;
    std::uint32_t nameRva = 0;
    stream.Read(at, module.base);
    stream.Read(at + 8, module.size);
    stream.Read(at + 16, module.timeDateStamp);
    stream.Read(at + 20, nameRva);
    if (!ReadString(nameRva, module.name)) return false;
    m_Modules.push_back(std::move(module));
  }
  return true;
}

bool CMinidumpReader::ParseMemoryList(CByteView stream) {
  std::uint32_t count = 0;
  if (!stream.Read(0, count) || !stream.Has(4, count * kMemoryDescriptorSize)) return false;
  m_Memory.reserve(m_Memory.size() + count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t at = 4 + i * kMemoryDescriptorSize;
    std::uint64_t start = 0;
    std::uint32_t size = 0, rva = 0;
    stream.Read(at, start);
    stream.Read(at + 8, size);
    stream.Read(at + 12, rva);
    if (!m_File.Has(rva, size)) return false;
    m_Memory.push_back({start, size, rva});
  }
  return true;
}

bool CMinidumpReader::ParseMemory64List(CByteView stream) {
  std::uint64_t count = 0, offset = 0;
  if (!stream.Read(0, count) || !stream.Read(8, offset)) return false;
  if (count > (stream.Size() - 16) / kMemoryDescriptorSize) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t start = 0, size = 0;
    stream.Read(16 + i * kMemoryDescriptorSize, start);
    stream.Read(24 + i * kMemoryDescriptorSize, size);
    if (!m_File.Has(offset, size)) return false;  // ranges follow each other from the base
    m_Memory.push_back({start, size, offset});
    offset += size;
  }
  return true;
}

bool CMinidumpReader::ParseException(CByteView stream) {
  if (!stream.Has(0, kExceptionStreamSize)) return false;
  stream.Read(0, m_ExceptionThread);
  stream.Read(kExceptionContextOffset, m_ExceptionContext.size);
  stream.Read(kExceptionContextOffset + 4, m_ExceptionContext.rva);
  if (!m_File.Has(m_ExceptionContext.rva, m_ExceptionContext.size)) return false;
  m_HasException = true;
  return true;
}

bool CMinidumpReader::ReadString(std::uint32_t rva, std::u16string& out) const {
  std::uint32_t bytes = 0;
  if (!m_File.Read(rva, bytes) || bytes % 2 != 0 || bytes > kMaxNameBytes ||
      !m_File.Has(std::uint64_t{rva} + 4, bytes)) {
    return false;
  }
  out.resize(bytes / 2);
  std::memcpy(out.data(), m_File.Data() + rva + 4, bytes);
  return true;
}

bool CMinidumpReader::ExceptionContext(X64Context& out) const {
  if (!m_HasException) return false;
  CByteView context = m_File.Sub(m_ExceptionContext.rva, m_ExceptionContext.size);
  if (!context.Has(0, kContextRip + 8)) return false;
  for (int i = 0; i < 16; ++i) context.Read(kContextRegisters + 8 * i, out.reg[i]);
  context.Read(kContextRip, out.rip);
  return true;
}

bool CMinidumpReader::ExceptionStack(std::uint64_t& low, std::uint64_t& high) const {
  for (std::size_t i = 0; i < m_ThreadIds.size(); ++i) {
    if (m_ThreadIds[i] != m_ExceptionThread) continue;
    low = m_ThreadStacks[i].start;
    high = low + m_ThreadStacks[i].size;
    return high > low;
  }
  return false;
}

const MinidumpModule* CMinidumpReader::ModuleAt(std::uint64_t address) const {
  auto next = std::upper_bound(m_Modules.begin(), m_Modules.end(), address,
                               [](std::uint64_t a, const auto& m) { return a < m.base; });
  if (next == m_Modules.begin()) return nullptr;
  const MinidumpModule& module = *std::prev(next);
  return address - module.base < module.size ? &module : nullptr;
}

bool CMinidumpReader::ReadMemory(std::uint64_t address, void* out, std::size_t length) const {
  auto* to = static_cast<std::uint8_t*>(out);
  while (length > 0) {  // a read may span adjacent ranges
    auto next = std::upper_bound(m_Memory.begin(), m_Memory.end(), address,
                                 [](std::uint64_t a, const auto& r) { return a < r.start; });
    if (next == m_Memory.begin()) return false;
    const MemoryRange& range = *std::prev(next);
    std::uint64_t into = address - range.start;
    if (into >= range.size) return false;
    std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, range.size - into));
    std::memcpy(to, m_File.Data() + range.fileOffset + into, chunk);
    to += chunk;
    address += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace halvern
