#include "trace/dump_image_finder.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace halvern {
namespace {

// Images larger than this are not read (the largest system images are a few tens of MiB).
constexpr std::uint64_t kMaxImageBytes = 1ull << 30;

#if defined(_WIN32)
using NativeString = std::wstring;
const NativeString kSeparators = L";";
NativeString Environment() {
  const wchar_t* value = _wgetenv(L"HALVERN_DUMP_IMAGE_PATH");
  return value ? value : L"";
}
#else
using NativeString = std::string;
const NativeString kSeparators = ";:";
NativeString Environment() {
  const char* value = std::getenv(kDumpImagePathVariable);
  return value ? value : "";
}
#endif

std::u16string FileName(const std::u16string& modulePath) {
  std::size_t slash = modulePath.find_last_of(u"\\/");
  return slash == std::u16string::npos ? modulePath : modulePath.substr(slash + 1);
}

std::u16string AsciiLower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

}  // namespace

bool ReadWholeFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                   std::vector<std::uint8_t>& out) {
  std::error_code error;
  std::uint64_t size = std::filesystem::file_size(file, error);
  if (error || size > maxBytes) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  out.resize(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  return static_cast<std::uint64_t>(in.gcount()) == size;
}

std::vector<std::filesystem::path> CDumpImageFinder::ImageFolders(
    const std::filesystem::path& dumpFile) {
  std::vector<std::filesystem::path> folders{dumpFile.parent_path()};
  NativeString list = Environment();
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t stop = list.find_first_of(kSeparators, start);
    if (stop == NativeString::npos) stop = list.size();
    if (stop > start) folders.emplace_back(list.substr(start, stop - start));
    start = stop + 1;
  }
  return folders;
}

const CPeImage* CDumpImageFinder::ImageFor(const MinidumpModule& module) {
  auto found = m_Cache.find(module.base);
  if (found == m_Cache.end()) found = m_Cache.emplace(module.base, Load(module)).first;
  return found->second.get();
}

std::unique_ptr<CPeImage> CDumpImageFinder::Load(const MinidumpModule& module) const {
  std::u16string name = FileName(module.name);
  if (name.empty()) return nullptr;
  // Windows names are case-blind; a copy on a case-sensitive disk is often in lower case.
  std::u16string names[] = {name, AsciiLower(name)};
  for (const std::filesystem::path& folder : m_Folders) {
    for (const std::u16string& candidate : names) {
      std::vector<std::uint8_t> bytes;
      if (!ReadWholeFile(folder / std::filesystem::path(candidate), kMaxImageBytes, bytes)) {
        continue;
      }
      auto image = std::make_unique<CPeImage>();
      if (image->Parse(std::move(bytes)) && image->SizeOfImage() == module.size &&
          image->TimeDateStamp() == module.timeDateStamp) {
        return image;
      }
    }
  }
  return nullptr;
}

}  // namespace halvern
