#include "graph/data_socket.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/debug_capture.h"

namespace halvern {
namespace {

// Raw flags compare only as zero or non-zero; a mismatch writes one line with both traits and
// throws -50.
TEST(DataSocket, MismatchWritesOneLineWithBothTraitsAndThrows) {
  CDataSocket socket(4);
  EXPECT_NO_THROW(socket.AssertConsistency(CDataTraits{4, 7}));
  const CDataTraits unraw{4, 0};
  testing::DebugCapture capture;
  try {
    socket.AssertConsistency(unraw);
    ADD_FAILURE() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, -50);
  }
  EXPECT_THROW(socket.AssertConsistency(CDataTraits{8, 1}), int);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  char message[160];
  std::snprintf(message, sizeof(message),
                "Mismatched data traits at %p and %p: raw=1/0 frameSize=4/4!\n",
                static_cast<const void*>(static_cast<const CDataTraits*>(&socket)),
                static_cast<const void*>(&unraw));
  // Level 3 shows as blanks; no module name follows the tag.
  const std::string expected = "zub" + std::string(27, ' ') + "    " +
                               "CDataSocket::AssertConsistency(): " + std::string(14, ' ') +
                               message;
  EXPECT_EQ(lines[0].substr(14), expected);
}

}  // namespace
}  // namespace halvern
