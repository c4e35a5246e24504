// The COM ids of our own and the string helpers the code above the platform layer relies on, the
// same from the Windows SDK (mingw build, under Wine) and from our stand-ins (elsewhere).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/policy_config.h"
#include "platform/win32.h"

namespace {

// Ids we declare on Windows too (the SDK lacks them); a wrong one shows only there, as
// E_NOINTERFACE or REGDB_E_CLASSNOTREG. Checked against the registry form Windows documents.
TEST(ComDeclarations, OurOwnIdsAreTheSystemOnes) {
  const std::pair<GUID, const char*> ids[] = {
      {IID_IAudioMeterInformation, "{C02216F6-8C67-4B5B-9D00-D008E73E0064}"},
      {halvern::CLSID_CPolicyConfigClient, "{870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}"},
      {halvern::IID_IPolicyConfig, "{F8679F50-850A-41CF-9C72-430F290290C8}"},
      {halvern::IID_IPolicyConfigWindows10, "{CA286FC3-91FD-42C3-8E9B-CAAFA66242E3}"},
      {halvern::IID_IPolicyConfigWindows10_1, "{6BE54BE8-A068-4875-A49D-0C2966473B11}"}};
  for (const auto& [id, text] : ids) {
    char ours[40];
    std::snprintf(ours, sizeof(ours), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                  id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    EXPECT_STREQ(ours, text);
  }
}

// Both copy, truncate and always terminate, and say when they cut.
TEST(ComDeclarations, StringCopiesTruncateAndSaySo) {
  using Text = std::basic_string<WCHAR>;
  WCHAR source[] = {L'S', L'p', L'e', L'a', L'k', L'e', L'r', L's', 0};
  WCHAR small[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
  WCHAR roomy[16];
  EXPECT_EQ(StringCchCopyW(small, 4, source), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Text(small), Text(source, 3));
  EXPECT_EQ(StringCchCopyW(roomy, 9, source), S_OK);
  EXPECT_EQ(Text(roomy), Text(source));
  EXPECT_EQ(StringCchCopyW(roomy, 0, source), STRSAFE_E_INVALID_PARAMETER);

  PROPVARIANT v;
  PropVariantInit(&v);
  EXPECT_EQ(PropVariantToString(v, small, 6), S_OK);
  EXPECT_EQ(small[0], 0);
  v.vt = VT_LPWSTR;
  v.pwszVal = source;
  EXPECT_EQ(PropVariantToString(v, small, 6), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Text(small), Text(source, 5));
  EXPECT_EQ(PropVariantToString(v, roomy, 16), S_OK);
  EXPECT_EQ(Text(roomy), Text(source));
}

}  // namespace
