// Finds the image files of a dump's modules: by file name, next to the dump first, then in each
// folder of the HALVERN_DUMP_IMAGE_PATH environment variable (separated by ';', and also by ':'
// outside Windows). A file counts only when its size of image and time stamp match the module's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "trace/dump_stack_walker.h"

namespace halvern {

inline constexpr char kDumpImagePathVariable[] = "HALVERN_DUMP_IMAGE_PATH";

class CDumpImageFinder : public IDumpImageSource {
 public:
  explicit CDumpImageFinder(std::vector<std::filesystem::path> folders)
      : m_Folders(std::move(folders)) {}

  // The dump's own folder followed by the folders of the environment variable.
  static std::vector<std::filesystem::path> ImageFolders(const std::filesystem::path& dumpFile);

  const CPeImage* ImageFor(const MinidumpModule& module) override;

 private:
  std::unique_ptr<CPeImage> Load(const MinidumpModule& module) const;

  std::vector<std::filesystem::path> m_Folders;
  std::map<std::uint64_t, std::unique_ptr<CPeImage>> m_Cache;  // by base; null: not found
};

// Reads a whole file; false when it cannot be read or is larger than maxBytes.
bool ReadWholeFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                   std::vector<std::uint8_t>& out);

}  // namespace halvern
