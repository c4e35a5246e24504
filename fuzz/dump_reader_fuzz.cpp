// libFuzzer target for the minidump reader and the stack walk. The input is a 4-byte length n,
// n bytes of dump, and the rest an image file that every module of the dump is given, so the
// unwinder sees malformed unwind data as well.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "trace/dump_pe_image.h"
#include "trace/dump_reader.h"
#include "trace/dump_stack_walker.h"

namespace {

class CAnyModuleImage : public halvern::IDumpImageSource {
 public:
  explicit CAnyModuleImage(const halvern::CPeImage* image) : m_Image(image) {}
  const halvern::CPeImage* ImageFor(const halvern::MinidumpModule&) override { return m_Image; }

 private:
  const halvern::CPeImage* m_Image;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint32_t dumpSize = 0;
  if (size < 4) return 0;
  std::memcpy(&dumpSize, data, 4);
  data += 4;
  size -= 4;
  if (dumpSize > size) dumpSize = static_cast<std::uint32_t>(size);

  halvern::CMinidumpReader reader;
  if (!reader.Parse(halvern::CByteView(data, dumpSize))) return 0;
  halvern::CPeImage image;
  bool haveImage = image.Parse(std::vector<std::uint8_t>(data + dumpSize, data + size));
  CAnyModuleImage images(haveImage ? &image : nullptr);
  std::vector<std::uint64_t> frames;
  halvern::CDumpStackWalker(reader, images).Walk(frames);
  return 0;
}
