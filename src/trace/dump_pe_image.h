// A 64-bit PE image file as the stack walk needs it: identity (size and time stamp, to match a
// module of the dump) and the function table with its unwind data, reached by relative address.
#pragma once

#include <cstdint>
#include <vector>

#include "trace/dump_reader.h"

namespace halvern {

struct RuntimeFunction {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t unwindInfo = 0;
};

class CPeImage {
 public:
  // Takes the file's bytes; false unless it is a PE32+ image whose headers lie inside the file.
  bool Parse(std::vector<std::uint8_t> bytes);

  std::uint32_t SizeOfImage() const { return m_SizeOfImage; }
  std::uint32_t TimeDateStamp() const { return m_TimeDateStamp; }

  // The function table entry covering rva; false for a leaf function (none covers it).
  bool FindFunction(std::uint32_t rva, RuntimeFunction& out) const;
  // The bytes at [rva, rva + length) as the file holds them; empty unless one section has them.
  CByteView AtRva(std::uint32_t rva, std::uint32_t length) const;

 private:
  struct Section {
    std::uint32_t rva;
    std::uint32_t size;  // bytes present in the file
    std::uint32_t fileOffset;
  };

  std::vector<std::uint8_t> m_Bytes;
  std::vector<Section> m_Sections;
  std::uint32_t m_SizeOfImage = 0;
  std::uint32_t m_TimeDateStamp = 0;
  std::uint32_t m_FunctionTable = 0;  // rva of the exception directory
  std::uint32_t m_FunctionCount = 0;
};

}  // namespace halvern
