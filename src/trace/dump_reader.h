// Minidump reader: header, stream directory, exception, thread, module and memory lists. Every
// offset and size is checked against the file; nothing here trusts a count or an address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace halvern {

// Bounds-checked little-endian view over bytes owned elsewhere.
class CByteView {
 public:
  CByteView() = default;
  CByteView(const std::uint8_t* data, std::size_t size) : m_Data(data), m_Size(size) {}

  std::size_t Size() const { return m_Size; }
  const std::uint8_t* Data() const { return m_Data; }
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= m_Size && length <= m_Size - offset;
  }
  template <typename T>
  bool Read(std::uint64_t offset, T& out) const {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!Has(offset, sizeof(T))) return false;
    std::memcpy(&out, m_Data + offset, sizeof(T));  // the files are little-endian, like our targets
    return true;
  }
  // The bytes [offset, offset + length), or an empty view when they are not all inside.
  CByteView Sub(std::uint64_t offset, std::uint64_t length) const {
    if (!Has(offset, length)) return {};
    return CByteView(m_Data + offset, static_cast<std::size_t>(length));
  }

 private:
  const std::uint8_t* m_Data = nullptr;
  std::size_t m_Size = 0;
};

// x64 integer registers in the order the unwind codes number them (RAX, RCX, RDX, RBX, RSP, RBP,
// RSI, RDI, R8..R15), and the instruction pointer.
struct X64Context {
  static constexpr int kRsp = 4;
  std::uint64_t reg[16] = {};
  std::uint64_t rip = 0;
  std::uint64_t& Rsp() { return reg[kRsp]; }
};

struct MinidumpModule {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t timeDateStamp = 0;
  std::u16string name;  // the path the process loaded the image from
};

class CMinidumpReader {
 public:
  // Reads the streams the stack walk needs. False when the file is not a minidump or a stream
  // it holds points outside the file or does not fit its own size.
  bool Parse(CByteView file);

  bool HasException() const { return m_HasException; }
  // The processor context stored with the exception; false when it is missing or too short.
  bool ExceptionContext(X64Context& out) const;
  // Lowest and one-past-highest address of the exception thread's stack, when the thread list
  // has it.
  bool ExceptionStack(std::uint64_t& low, std::uint64_t& high) const;

  const std::vector<MinidumpModule>& Modules() const { return m_Modules; }
  const MinidumpModule* ModuleAt(std::uint64_t address) const;

  // Copies process memory captured in the dump; false unless every byte is there.
  bool ReadMemory(std::uint64_t address, void* out, std::size_t length) const;
  bool ReadU64(std::uint64_t address, std::uint64_t& out) const {
    return ReadMemory(address, &out, sizeof(out));
  }

 private:
  struct MemoryRange {
    std::uint64_t start;
    std::uint64_t size;
    std::uint64_t fileOffset;
  };
  struct Location {
    std::uint32_t size;
    std::uint32_t rva;
  };

  bool ParseStream(std::uint32_t type, Location where);
  bool ParseThreadList(CByteView stream);
  bool ParseModuleList(CByteView stream);
  bool ParseMemoryList(CByteView stream);
  bool ParseMemory64List(CByteView stream);
  bool ParseException(CByteView stream);
  bool ReadString(std::uint32_t rva, std::u16string& out) const;

  CByteView m_File;
  bool m_HasException = false;
  std::uint32_t m_ExceptionThread = 0;
  Location m_ExceptionContext = {};
  std::vector<MinidumpModule> m_Modules;   // sorted by base
  std::vector<MemoryRange> m_Memory;       // sorted by start
  std::vector<std::uint32_t> m_ThreadIds;  // parallel to m_ThreadStacks
  std::vector<MemoryRange> m_ThreadStacks;
};

}  // namespace halvern
