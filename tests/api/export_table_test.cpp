// The built library's export table, read from its file: exactly the 21 KovraApi_ names, and on
// Windows nothing imported but the system's own libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "kovra_api.h"
#include "platform/win32.h"

namespace {

#define KOVRA_EXPORT_NAME(name) #name,
const std::set<std::string> kExports = {KOVRA_API_EXPORTS(KOVRA_EXPORT_NAME)};

struct ImageNames {
  std::set<std::string> exports;
  std::vector<std::string> imports;  // PE only
  std::string error;
};

class Image {
 public:
  explicit Image(std::vector<unsigned char> bytes) : m_Bytes(std::move(bytes)) {}
  template <class T>
  T At(std::uint64_t offset) const {
    T value{};
    if (offset + sizeof(T) <= m_Bytes.size())
      std::memcpy(&value, m_Bytes.data() + offset, sizeof(T));
    return value;
  }
  std::string String(std::uint64_t offset) const {
    std::string text;
    while (offset < m_Bytes.size() && m_Bytes[offset] != 0)
      text += static_cast<char>(m_Bytes[offset++]);
    return text;
  }
  std::size_t Size() const { return m_Bytes.size(); }

 private:
  std::vector<unsigned char> m_Bytes;
};

// ELF64: the defined global and weak symbols of the dynamic symbol table.
ImageNames ReadElf(const Image& image) {
  ImageNames names;
  const auto sectionTable = image.At<std::uint64_t>(0x28);
  const auto sectionSize = image.At<std::uint16_t>(0x3A);
  const auto sectionCount = image.At<std::uint16_t>(0x3C);
  auto section = [&](unsigned index) { return sectionTable + std::uint64_t{index} * sectionSize; };
  for (unsigned i = 0; i < sectionCount; ++i) {
    constexpr std::uint32_t kDynamicSymbols = 11;
    if (image.At<std::uint32_t>(section(i) + 4) != kDynamicSymbols) continue;
    const auto symbols = image.At<std::uint64_t>(section(i) + 0x18);
    const auto size = image.At<std::uint64_t>(section(i) + 0x20);
    const auto strings =
        image.At<std::uint64_t>(section(image.At<std::uint32_t>(section(i) + 0x28)) + 0x18);
    for (std::uint64_t symbol = symbols; symbol + 24 <= symbols + size; symbol += 24) {
      const unsigned binding = image.At<std::uint8_t>(symbol + 4) >> 4;
      const bool defined = image.At<std::uint16_t>(symbol + 6) != 0;
      if (defined && (binding == 1 || binding == 2))
        names.exports.insert(image.String(strings + image.At<std::uint32_t>(symbol)));
    }
    return names;
  }
  names.error = "no dynamic symbol table";
  return names;
}

// PE32+: the export directory's names and the names of the imported libraries.
ImageNames ReadPe(const Image& image) {
  ImageNames names;
  const auto header = image.At<std::uint32_t>(0x3C);
  if (image.At<std::uint32_t>(header) != 0x00004550u) {
    names.error = "no PE signature";
    return names;
  }
  const std::uint64_t coff = header + 4;
  const auto sectionCount = image.At<std::uint16_t>(coff + 2);
  const std::uint64_t optional = coff + 20;
  const bool pe32Plus = image.At<std::uint16_t>(optional) == 0x20B;
  const std::uint64_t directories = optional + (pe32Plus ? 112 : 96);
  const std::uint64_t sections = optional + image.At<std::uint16_t>(coff + 16);
  auto fileOffset = [&](std::uint32_t rva) -> std::uint64_t {
    for (unsigned i = 0; i < sectionCount; ++i) {
      const std::uint64_t s = sections + 40ull * i;
      const auto address = image.At<std::uint32_t>(s + 12);
      const auto size = std::max(image.At<std::uint32_t>(s + 8), image.At<std::uint32_t>(s + 16));
      if (rva >= address && rva < address + size)
        return rva - address + image.At<std::uint32_t>(s + 20);
    }
    return image.Size();
  };
  const auto exportRva = image.At<std::uint32_t>(directories);
  if (exportRva != 0) {
    const std::uint64_t exports = fileOffset(exportRva);
    const auto count = image.At<std::uint32_t>(exports + 24);
    const std::uint64_t nameTable = fileOffset(image.At<std::uint32_t>(exports + 32));
    for (std::uint32_t i = 0; i < count; ++i)
      names.exports.insert(image.String(fileOffset(image.At<std::uint32_t>(nameTable + 4ull * i))));
  }
  const auto importRva = image.At<std::uint32_t>(directories + 8);
  for (std::uint64_t d = importRva != 0 ? fileOffset(importRva) : image.Size();
       d + 20 <= image.Size() && image.At<std::uint32_t>(d + 12) != 0; d += 20)
    names.imports.push_back(image.String(fileOffset(image.At<std::uint32_t>(d + 12))));
  return names;
}

ImageNames ReadImageNames(const std::vector<unsigned char>& bytes) {
  const Image image(bytes);
  if (bytes.size() > 4 && std::memcmp(bytes.data(),
                                      "\x7F"
                                      "ELF",
                                      4) == 0)
    return ReadElf(image);
  if (bytes.size() > 2 && bytes[0] == 'M' && bytes[1] == 'Z') return ReadPe(image);
  ImageNames names;
  names.error = "neither ELF nor PE";
  return names;
}

std::vector<unsigned char> ReadLibraryFile() {
#if defined(_WIN32)
  // The copy the loader finds by name, as a host would load it.
  HMODULE module = LoadLibraryW(L"HalvernVAD_Router.dll");
  if (module == nullptr) return {};
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  FreeLibrary(module);
  std::ifstream file(path, std::ios::binary);
#else
  std::ifstream file(HALVERN_ROUTER_LIBRARY_FILE, std::ios::binary);
#endif
  file.seekg(0, std::ios::end);
  std::vector<unsigned char> bytes(file ? static_cast<std::size_t>(file.tellg()) : 0);
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

TEST(ExportTable, HoldsExactlyTheTwentyOneExports) {
  const std::vector<unsigned char> bytes = ReadLibraryFile();
  ASSERT_FALSE(bytes.empty()) << "library file not found";
  const ImageNames names = ReadImageNames(bytes);
  ASSERT_TRUE(names.error.empty()) << names.error;
  EXPECT_EQ(names.exports, kExports);
#if defined(_WIN32)
  // Static runtime: every import is one of the system's own libraries, none of the compiler's
  // (libstdc++, libgcc, libwinpthread) that a host would have to ship.
  ASSERT_FALSE(names.imports.empty());
  char system[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
  for (const std::string& library : names.imports) {
    const std::string path = std::string(system) + "\\" + library;
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << library;
  }
#endif
}

}  // namespace
