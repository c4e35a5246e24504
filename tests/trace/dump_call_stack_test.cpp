#include "trace/dump_call_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "dump_testdata.h"
#include "platform/utf16.h"
#include "trace/dump_image_finder.h"

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

}  // namespace
}  // namespace halvern
