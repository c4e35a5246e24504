#include "kovra_library.h"

#include <filesystem>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace halvern::route {

namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "HalvernVAD_Router.dll";

std::filesystem::path ProgramFolder() {
  std::vector<wchar_t> path(32768);
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return std::filesystem::path(std::wstring(path.data(), n)).parent_path();
}

void* Open(const std::filesystem::path& path) {
  return reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
}
void* Symbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void Close(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
std::string LastError() { return "error " + std::to_string(GetLastError()); }
#else
constexpr const char* kLibraryName = "libHalvernVAD_Router.so";

std::filesystem::path ProgramFolder() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

void* Open(const std::filesystem::path& path) { return dlopen(path.c_str(), RTLD_NOW); }
void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }
void Close(void* handle) { dlclose(handle); }
std::string LastError() {
  const char* text = dlerror();
  return text ? text : "unknown error";
}
#endif

}  // namespace

std::unique_ptr<KovraLibrary> KovraLibrary::Load(std::string* error) {
  std::unique_ptr<KovraLibrary> library(new KovraLibrary);
  for (const std::filesystem::path& candidate :
       {ProgramFolder() / kLibraryName, std::filesystem::path(kLibraryName)}) {
    library->m_Handle = Open(candidate);
    if (library->m_Handle) {
      library->m_Path = candidate.string();
      break;
    }
  }
  if (!library->m_Handle) {
    *error = std::string("cannot load ") + kLibraryName + ": " + LastError();
    return nullptr;
  }
#define HALVERN_ROUTE_RESOLVE(name)                                                            \
  library->name = reinterpret_cast<decltype(library->name)>(Symbol(library->m_Handle, #name)); \
  if (!library->name) {                                                                        \
    *error = library->m_Path + " has no export " #name;                                        \
    return nullptr;                                                                            \
  }
  HALVERN_ROUTE_EXPORTS(HALVERN_ROUTE_RESOLVE)
#undef HALVERN_ROUTE_RESOLVE
  return library;
}

// Unloaded as a host that is done with it would: the library must wind its threads down first.
KovraLibrary::~KovraLibrary() {
  if (m_Handle) Close(m_Handle);
}

}  // namespace halvern::route
