// The COM declarations of our own and the helpers the code above the platform layer relies on,
// the same from the Windows SDK (mingw build, under Wine) and from our stand-ins (elsewhere).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/policy_config.h"
#include "platform/win32.h"

namespace {

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" on its own, to check the binary GUIDs against the
// registry form in which Windows documents them.
GUID Parse(const char* text) {
  unsigned d1, d2, d3, b[8];
  EXPECT_EQ(std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                        &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]),
            11)
      << text;
  GUID g;
  g.Data1 = d1;
  g.Data2 = static_cast<unsigned short>(d2);
  g.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<unsigned char>(b[i]);
  return g;
}

// Ids we declare on Windows too (the SDK lacks them); a wrong one shows only there, as
// E_NOINTERFACE or REGDB_E_CLASSNOTREG.
TEST(ComDeclarations, OurOwnIdsAreTheSystemOnes) {
  const std::pair<GUID, const char*> ids[] = {
      {IID_IAudioMeterInformation, "{C02216F6-8C67-4B5B-9D00-D008E73E0064}"},
      {halvern::CLSID_CPolicyConfigClient, "{870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}"},
      {halvern::IID_IPolicyConfig, "{F8679F50-850A-41CF-9C72-430F290290C8}"},
      {halvern::IID_IPolicyConfigWindows10, "{CA286FC3-91FD-42C3-8E9B-CAAFA66242E3}"},
      {halvern::IID_IPolicyConfigWindows10_1, "{6BE54BE8-A068-4875-A49D-0C2966473B11}"}};
  for (const auto& [id, text] : ids) EXPECT_TRUE(IsEqualGUID(id, Parse(text))) << text;
}

TEST(ComDeclarations, PropVariantToStringCopiesTruncatesAndSaysSo) {
  PROPVARIANT v;
  PropVariantInit(&v);
  WCHAR text[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
  EXPECT_EQ(PropVariantToString(v, text, 6), S_OK);
  EXPECT_EQ(text[0], 0);

  WCHAR source[] = {L'S', L'p', L'e', L'a', L'k', L'e', L'r', L's', 0};
  v.vt = VT_LPWSTR;
  v.pwszVal = source;
  EXPECT_EQ(PropVariantToString(v, text, 6), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::basic_string<WCHAR>(text), std::basic_string<WCHAR>(source, 5));
  WCHAR roomy[16];
  EXPECT_EQ(PropVariantToString(v, roomy, 16), S_OK);
  EXPECT_EQ(std::basic_string<WCHAR>(roomy), std::basic_string<WCHAR>(source));
}

// Records which method ran, to check that each sits in the slot the system's object has it in.
class SlotProbe final : public halvern::IPolicyConfigWindows10_1 {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return Ran(0); }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR, WAVEFORMATEX**) override { return Ran(3); }
  HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR, INT, WAVEFORMATEX**) override {
    return Ran(4);
  }
  HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR) override { return Ran(5); }
  HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR, WAVEFORMATEX*, WAVEFORMATEX*) override {
    return Ran(6);
  }
  HRESULT STDMETHODCALLTYPE GetProcessingPeriod(LPCWSTR, INT, LONGLONG*, LONGLONG*) override {
    return Ran(7);
  }
  HRESULT STDMETHODCALLTYPE SetProcessingPeriod(LPCWSTR, LONGLONG*) override { return Ran(8); }
  HRESULT STDMETHODCALLTYPE GetShareMode(LPCWSTR, halvern::DeviceShareMode*) override {
    return Ran(9);
  }
  HRESULT STDMETHODCALLTYPE SetShareMode(LPCWSTR, halvern::DeviceShareMode*) override {
    return Ran(10);
  }
  HRESULT STDMETHODCALLTYPE GetPropertyValue(LPCWSTR, const PROPERTYKEY&, PROPVARIANT*) override {
    return Ran(11);
  }
  HRESULT STDMETHODCALLTYPE SetPropertyValue(LPCWSTR, const PROPERTYKEY&, PROPVARIANT*) override {
    return Ran(12);
  }
  HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR, ERole) override { return Ran(13); }
  HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR, BOOL) override { return Ran(14); }

  int ran = -1;

 private:
  HRESULT Ran(int slot) {
    ran = slot;
    return S_OK;
  }
};

// Calls slot `slot` the way a client of another compiler would: through the object's table.
template <class... Args>
void CallSlot(SlotProbe& probe, int slot, Args... args) {
  using Method = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
  void** table = *reinterpret_cast<void***>(static_cast<IUnknown*>(&probe));
  reinterpret_cast<Method>(table[slot])(static_cast<IUnknown*>(&probe), args...);
}

TEST(ComDeclarations, PolicyConfigMethodsSitInTheSlotsTheSystemUses) {
  SlotProbe probe;
  const WCHAR id[] = {L'x', 0};
  WAVEFORMATEX* format = nullptr;
  halvern::DeviceShareMode mode = halvern::DeviceShared;
  CallSlot(probe, 4, static_cast<LPCWSTR>(id), INT{0}, &format);
  EXPECT_EQ(probe.ran, 4);
  CallSlot(probe, 6, static_cast<LPCWSTR>(id), format, format);
  EXPECT_EQ(probe.ran, 6);
  CallSlot(probe, 9, static_cast<LPCWSTR>(id), &mode);
  EXPECT_EQ(probe.ran, 9);
  CallSlot(probe, 13, static_cast<LPCWSTR>(id), eCommunications);
  EXPECT_EQ(probe.ran, 13);
  CallSlot(probe, 14, static_cast<LPCWSTR>(id), BOOL{TRUE});
  EXPECT_EQ(probe.ran, 14);
}

TEST(ComDeclarations, StringCchCopyTruncatesAndAlwaysTerminates) {
  const WCHAR source[] = {L'H', L'a', L'l', L'v', L'e', L'r', L'n', 0};
  WCHAR small[4] = {L'x', L'x', L'x', L'x'};
  EXPECT_EQ(StringCchCopyW(small, 4, source), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::basic_string<WCHAR>(small), std::basic_string<WCHAR>(source, 3));
  WCHAR exact[8];
  EXPECT_EQ(StringCchCopyW(exact, 8, source), S_OK);
  EXPECT_EQ(std::basic_string<WCHAR>(exact), std::basic_string<WCHAR>(source));
  EXPECT_EQ(StringCchCopyW(exact, 0, source), STRSAFE_E_INVALID_PARAMETER);
}

}  // namespace
