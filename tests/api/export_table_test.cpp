// The built library exports exactly the 21 KovraApi_ names: none missing, and nothing of the
// runtime or the library's internals leaking out. (scripts/wine-e2e checks the DLL's imports.)
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "kovra_api.h"
#include "platform/win32.h"

#if defined(_WIN32)

namespace {

// The export directory of the copy the loader finds by name, as a host would load it.
std::set<std::string> ExportedNames() {
  std::set<std::string> names;
  HMODULE module = LoadLibraryW(L"HalvernVAD_Router.dll");
  if (module == nullptr) return names;
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (entry.VirtualAddress != 0) {
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
      names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
  }
  FreeLibrary(module);
  return names;
}

}  // namespace

#else

#include <elf.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

// The defined global and weak symbols of the file's dynamic symbol table.
std::set<std::string> ExportedNames() {
  std::set<std::string> names;
  std::ifstream file(HALVERN_ROUTER_LIBRARY_FILE, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  if (bytes.size() < sizeof(Elf64_Ehdr) || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0)
    return names;
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes.data() + header->e_shoff);
  for (unsigned i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM) continue;
    const char* strings = bytes.data() + sections[sections[i].sh_link].sh_offset;
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(bytes.data() + sections[i].sh_offset);
    for (std::size_t s = 0; s < sections[i].sh_size / sizeof(Elf64_Sym); ++s) {
      const unsigned binding = ELF64_ST_BIND(symbols[s].st_info);
      if (symbols[s].st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK))
        names.insert(strings + symbols[s].st_name);
    }
  }
  return names;
}

}  // namespace

#endif

namespace {

#define KOVRA_EXPORT_NAME(name) #name,

TEST(ExportTable, HoldsExactlyTheTwentyOneExports) {
  EXPECT_EQ(ExportedNames(), (std::set<std::string>{KOVRA_API_EXPORTS(KOVRA_EXPORT_NAME)}));
}

}  // namespace
