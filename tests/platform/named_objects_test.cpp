#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/utf16.h"
#include "platform/win32.h"

namespace {

using halvern::platform::Utf8ToUtf16;
using halvern::platform::WString;

WString UniqueName(const char* what) {
  static std::atomic<int> counter{0};
  return Utf8ToUtf16(std::string("HalvernTest_") + what + "_" +
                     std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter));
}

TEST(NamedMapping, HandlesOfOneNameShareMemoryUntilTheLastGoes) {
  const WString name = UniqueName("map");
  auto create = [&] {
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                              name.c_str());
  };
  auto view = [](HANDLE mapping, SIZE_T size = 0) {
    return static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size));
  };
  HANDLE first = create();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(GetLastError(), ERROR_ALREADY_EXISTS);
  char* a = view(first);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a[65535], 0);
  std::strcpy(a, "shared");
  HANDLE second = create();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  char* b = view(second, 65536);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b, "shared");

  // The name goes with the last handle; views keep their memory.
  CloseHandle(first);
  CloseHandle(second);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
  EXPECT_STREQ(b, "shared");

  // Created again, it is a new mapping that starts from zero.
  HANDLE fresh = create();
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(GetLastError(), ERROR_ALREADY_EXISTS);
  char* c = view(fresh);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c[0], 0);
  c[0] = 'x';
  EXPECT_STREQ(a, "shared");
  for (char* v : {a, b, c}) EXPECT_TRUE(UnmapViewOfFile(v));
  CloseHandle(fresh);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
}

TEST(NamedMutex, IsRecursiveAndOwnedByOneThreadAtATime) {
  const WString name = UniqueName("mutex");
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);  // the owner may take it again
  DWORD otherWait = 0;
  BOOL otherRelease = TRUE;
  std::thread other([&] {
    otherWait = WaitForSingleObject(again, 50);
    otherRelease = ReleaseMutex(mutex);
  });
  other.join();
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);
  EXPECT_FALSE(otherRelease);  // only the owner releases
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(again));
  EXPECT_FALSE(ReleaseMutex(mutex));  // not owned any more

  std::thread taker([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  });
  taker.join();
  CloseHandle(again);
  CloseHandle(mutex);
}

TEST(Utf16, RoundTripsAndCutsWholeCharacters) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5";  // a, e-acute, euro, a note
  const WString wide = Utf8ToUtf16(text);
  ASSERT_EQ(wide.size(), 5u);  // the note takes a surrogate pair
  EXPECT_EQ(wide[1], 0x00E9);
  EXPECT_EQ(wide[2], 0x20AC);
  EXPECT_EQ(wide[3], 0xD83C);
  EXPECT_EQ(wide[4], 0xDFB5);
  EXPECT_EQ(halvern::platform::Utf16ToUtf8(wide.c_str()), text);
  WCHAR out[4];
  EXPECT_EQ(Utf8ToUtf16(text, out, 4), 3u);  // the pair does not fit in the last unit
  EXPECT_EQ(Utf8ToUtf16("\xFFz", out, 4), 2u);
  EXPECT_EQ(out[0], 0xFFFD);
}

}  // namespace
