#include "trace/dump_call_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "dump_testdata.h"
#include "platform/utf16.h"
#include "trace/dump_image_finder.h"
#include "trace/dump_stack_walker.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

struct StackResult {
  int result = -1;
  int count = -1;
  std::vector<CallStackFrameRecord> frames;
};

StackResult ReadStack(const fs::path& dump, int maxFrames) {
  StackResult out;
  out.frames.resize(64);
  platform::WString path = platform::Utf8ToUtf16(dump.string());
  out.result =
      DumpGetCallStackFromMemoryDump(path.c_str(), out.frames.data(), maxFrames, &out.count);
  out.frames.resize(out.count > 0 ? out.count : 0);
  return out;
}

// Whether the frame lies in crasher.exe's function `i` (0 innermost: level3, level2, level1, main).
bool InFunction(const CallStackFrameRecord& frame, int i) {
  std::u16string name;
  for (int c = 0; c < 256 && frame.imageName[c] != 0; ++c) name += char16_t(frame.imageName[c]);
  return name.ends_with(u"crasher.exe") && frame.offset >= kCrasherFunctions[i].begin &&
         frame.offset < kCrasherFunctions[i].end;
}

void ExpectCrashChain(const std::vector<CallStackFrameRecord>& frames) {
  ASSERT_GE(frames.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(InFunction(frames[i], i)) << kCrasherFunctions[i].name;
}

class DumpCallStack : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDumpTestFolder[0] == 0) GTEST_SKIP() << "sample dumps not configured";
  }
  fs::path Sample(const char* name) const { return fs::path(kDumpTestFolder) / name; }
};

TEST_F(DumpCallStack, CrashDumpsShowTheCrashingChainInnermostFirstAndAsManyFramesAsAskedFor) {
  for (const char* dump : {"crash_av_normal.dmp", "crash_div_normal.dmp"}) {
    SCOPED_TRACE(dump);
    StackResult stack = ReadStack(Sample(dump), 64);
    EXPECT_EQ(stack.result, 1);
    ExpectCrashChain(stack.frames);
  }
  StackResult all = ReadStack(Sample("crash_av_normal.dmp"), 64);
  for (int maxFrames : {-1, 0, 1, 2}) {
    SCOPED_TRACE(maxFrames);
    StackResult some = ReadStack(Sample("crash_av_normal.dmp"), maxFrames);
    EXPECT_EQ(some.result, 1);
    ASSERT_EQ(some.count, maxFrames < 0 ? 0 : maxFrames);
    for (int i = 0; i < some.count; ++i) {
      EXPECT_TRUE(std::equal(std::begin(some.frames[i].imageName),
                             std::end(some.frames[i].imageName), all.frames[i].imageName));
      EXPECT_EQ(some.frames[i].offset, all.frames[i].offset);
    }
  }
}

TEST_F(DumpCallStack, FailsCleanlyWithoutStoredEventFileOrArguments) {
  for (const char* dump : {"nocrash_normal.dmp", "no_such_file.dmp", "crasher.exe"}) {
    SCOPED_TRACE(dump);
    StackResult stack = ReadStack(Sample(dump), 64);
    EXPECT_EQ(stack.result, 0);
    EXPECT_EQ(stack.count, 0);
  }
  platform::WString path = platform::Utf8ToUtf16(Sample("crash_av_normal.dmp").string());
  CallStackFrameRecord frame{};
  int count = 7;
  EXPECT_EQ(DumpGetCallStackFromMemoryDump(nullptr, &frame, 1, &count), 0);
  EXPECT_EQ(DumpGetCallStackFromMemoryDump(path.c_str(), nullptr, 1, &count), 0);
  EXPECT_EQ(count, 7);  // untouched
  EXPECT_EQ(DumpGetCallStackFromMemoryDump(path.c_str(), &frame, 1, nullptr), 0);
}

void SetImagePath(const std::string& value) {
#if defined(_WIN32)
  _wputenv_s(L"HALVERN_DUMP_IMAGE_PATH", std::wstring(value.begin(), value.end()).c_str());
#else
  setenv(kDumpImagePathVariable, value.c_str(), 1);
#endif
}

// A dump moved away from its images: found again through the search path. Without them the
// exact innermost frame stays and the stack scan passes every return address, in order, among
// the data that merely looks like code addresses.
TEST_F(DumpCallStack, ImagesComeFromTheSearchPathOrTheScanStandsIn) {
  fs::path folder = fs::temp_directory_path() / "halvern_dump_test";
  fs::create_directories(folder);
  fs::path moved = folder / "crash_av_normal.dmp";
  // The samples are read-only, and Windows deletes no read-only file.
  std::error_code ignored;
  fs::permissions(moved, fs::perms::owner_write, fs::perm_options::add, ignored);
  fs::remove(moved, ignored);
  fs::copy_file(Sample("crash_av_normal.dmp"), moved);
  fs::permissions(moved, fs::perms::owner_write, fs::perm_options::add);

  SetImagePath("/nowhere;" + std::string(kDumpTestFolder));
  ExpectCrashChain(ReadStack(moved, 64).frames);

  SetImagePath("");
  StackResult scanned = ReadStack(moved, 64);
  EXPECT_EQ(scanned.result, 1);
  int found = 0;
  for (const CallStackFrameRecord& frame : scanned.frames)
    found += found < 4 && InFunction(frame, found);
  EXPECT_EQ(found, 4);
  ASSERT_FALSE(scanned.frames.empty());
  EXPECT_TRUE(InFunction(scanned.frames[0], 0));
  fs::remove_all(folder, ignored);
}

// Malformed dumps and images: every truncation, seeded random corruption, huge counts, offsets
// past the end and a cycle in the unwind chain end in a clean refusal or a shorter walk.

// The one image the walk may use, whatever module asks.
class CFixedImage : public IDumpImageSource {
 public:
  explicit CFixedImage(const CPeImage* image) : m_Image(image) {}
  const CPeImage* ImageFor(const MinidumpModule& module) override {
    return module.name.ends_with(u"crasher.exe") ? m_Image : nullptr;
  }

 private:
  const CPeImage* m_Image;
};

int Walk(const CMinidumpReader& reader, const CPeImage* image) {
  CFixedImage images(image);
  std::vector<std::uint64_t> frames;
  if (!CDumpStackWalker(reader, images).Walk(frames)) return -1;
  return static_cast<int>(frames.size());
}

// Frames walked, or -1 when the reader refuses the bytes.
int Walk(const std::uint8_t* data, std::size_t size, const CPeImage* image) {
  CMinidumpReader reader;
  if (!reader.Parse(CByteView(data, size))) return -1;
  return Walk(reader, image);
}

std::uint32_t U32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}
void PutU32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  std::memcpy(bytes.data() + at, &value, 4);
}

class DumpRobustness : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDumpTestFolder[0] == 0) GTEST_SKIP() << "sample dumps not configured";
    fs::path folder(kDumpTestFolder);
    ASSERT_TRUE(ReadWholeFile(folder / "crash_av_normal.dmp", 1u << 30, m_Dump));
    ASSERT_TRUE(ReadWholeFile(folder / "crasher.exe", 1u << 30, m_ImageBytes));
    ASSERT_TRUE(m_Image.Parse(m_ImageBytes));
  }

  std::vector<std::uint8_t> m_Dump;
  std::vector<std::uint8_t> m_ImageBytes;
  CPeImage m_Image;
};

TEST_F(DumpRobustness, EveryTruncationIsRefusedOrWalked) {
  EXPECT_GE(Walk(m_Dump.data(), m_Dump.size(), &m_Image), 4);
  // The walk only reads inside the length it is given, so one buffer serves every length.
  for (std::size_t length = 0; length < m_Dump.size(); ++length) {
    Walk(m_Dump.data(), length, &m_Image);
  }
}

TEST_F(DumpRobustness, HugeCountsAndOffsetsPastTheEndAreRefused) {
  constexpr std::uint32_t kNeeded[] = {3, 4, 5, 6};  // threads, modules, memory, exception
  std::uint32_t directory = U32(m_Dump, 12);
  for (std::uint32_t i = 0; i < U32(m_Dump, 8); ++i) {
    std::size_t entry = directory + 12 * i;
    std::uint32_t type = U32(m_Dump, entry);
    if (std::find(std::begin(kNeeded), std::end(kNeeded), type) == std::end(kNeeded)) continue;
    SCOPED_TRACE(type);
    // Stream size, stream offset, and the count each list starts with.
    std::vector<std::size_t> fields{entry + 4, entry + 8};
    if (type != 6) fields.push_back(U32(m_Dump, entry + 8));
    for (std::size_t field : fields) {
      std::vector<std::uint8_t> bad = m_Dump;
      PutU32(bad, field, 0xFFFFFFF0u);
      EXPECT_EQ(Walk(bad.data(), bad.size(), &m_Image), -1);
    }
  }
  std::vector<std::uint8_t> streams = m_Dump;
  PutU32(streams, 8, 0xFFFFFFFFu);
  EXPECT_EQ(Walk(streams.data(), streams.size(), &m_Image), -1);
}

TEST_F(DumpRobustness, SeededRandomCorruptionsNeverCrash) {
  std::mt19937 random(20261206);
  std::vector<std::uint8_t> bytes = m_Dump;
  // Half the hits land in the header, directory and lists, where the structure is.
  std::uniform_int_distribution<std::size_t> head(0, 4096), anywhere(0, bytes.size() - 1);
  std::uniform_int_distribution<int> hits(1, 8), value(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::size_t> touched;
    for (int n = hits(random); n > 0; --n) {
      std::size_t at = round % 2 ? head(random) : anywhere(random);
      touched.push_back(at);
      bytes[at] = static_cast<std::uint8_t>(value(random));
    }
    Walk(bytes.data(), bytes.size(), &m_Image);
    for (std::size_t at : touched) bytes[at] = m_Dump[at];
  }
}

// Offset of an image's relative address in its file, from the section table.
std::size_t FileOffset(const std::vector<std::uint8_t>& image, std::uint32_t rva) {
  std::size_t coff = U32(image, 0x3C) + 4;
  std::size_t sections = image[coff + 2] | image[coff + 3] << 8;
  std::size_t table = coff + 20 + (image[coff + 16] | image[coff + 17] << 8);
  for (std::size_t i = 0; i < sections; ++i) {
    std::size_t at = table + 40 * i;
    std::uint32_t start = U32(image, at + 12), size = U32(image, at + 16);
    if (rva >= start && rva < start + size) return U32(image, at + 20) + (rva - start);
  }
  return 0;
}

TEST_F(DumpRobustness, CorruptUnwindDataEndsTheWalk) {
  RuntimeFunction innermost;
  ASSERT_TRUE(
      m_Image.FindFunction(static_cast<std::uint32_t>(kCrasherFunctions[0].begin), innermost));
  std::size_t info = FileOffset(m_ImageBytes, innermost.unwindInfo);
  ASSERT_NE(info, 0u);

  // A chained entry that names itself.
  std::vector<std::uint8_t> looped = m_ImageBytes;
  looped[info] |= 0x04 << 3;
  std::size_t chained = info + 4 + 2 * ((looped[info + 2] + 1u) & ~1u);
  PutU32(looped, chained, innermost.begin);
  PutU32(looped, chained + 4, innermost.end);
  PutU32(looped, chained + 8, innermost.unwindInfo);
  CPeImage image;
  ASSERT_TRUE(image.Parse(looped));
  CMinidumpReader reader;
  ASSERT_TRUE(reader.Parse(CByteView(m_Dump.data(), m_Dump.size())));
  EXPECT_EQ(Walk(reader, &image), 1);

  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> offset(0, 31);
  std::uniform_int_distribution<int> value(0, 255);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> bytes = m_ImageBytes;
    for (int n = 0; n < 4; ++n)
      bytes[info + offset(random)] = static_cast<std::uint8_t>(value(random));
    ASSERT_TRUE(image.Parse(std::move(bytes)));
    EXPECT_GE(Walk(reader, &image), 1);
  }
}

}  // namespace
}  // namespace halvern
