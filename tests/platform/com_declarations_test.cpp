// The COM, MMDevice and WASAPI declarations the code above the platform layer is written against:
// the same ids, codes, layouts and helper behaviour from the Windows SDK (mingw build, under Wine)
// and from our own stand-ins (elsewhere).
#include <gtest/gtest.h>

#include <cstddef>
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

TEST(ComDeclarations, InterfaceAndClassIdsAreTheSystemOnes) {
  const std::pair<GUID, const char*> ids[] = {
      {CLSID_MMDeviceEnumerator, "{BCDE0395-E52F-467C-8E3D-C4579291692E}"},
      {IID_IMMDeviceEnumerator, "{A95664D2-9614-4F35-A746-DE8DB63617E6}"},
      {IID_IMMNotificationClient, "{7991EEC9-7E89-4D85-8390-6C703CEC60C0}"},
      {IID_IMMDevice, "{D666063F-1587-4E43-81F1-B948E807363F}"},
      {IID_IMMDeviceCollection, "{0BD7A1BE-7A1A-44DB-8397-CC5392387B5E}"},
      {IID_IPropertyStore, "{886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}"},
      {IID_IAudioClient, "{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}"},
      {IID_IAudioRenderClient, "{F294ACFC-3146-4483-A7BF-ADDCA7C260E2}"},
      {IID_IAudioCaptureClient, "{C8ADBD64-E71E-48A0-A4DE-185C395CD317}"},
      {IID_IAudioSessionEvents, "{24918ACC-64B3-37C1-8CA9-74A66E9957A8}"},
      {IID_IAudioMeterInformation, "{C02216F6-8C67-4B5B-9D00-D008E73E0064}"},
      {IID_IAudioEndpointVolume, "{5CDF2C82-841E-4546-9722-0CF74078229A}"},
      {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
      {halvern::CLSID_CPolicyConfigClient, "{870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}"},
      {halvern::IID_IPolicyConfig, "{F8679F50-850A-41CF-9C72-430F290290C8}"},
      {halvern::IID_IPolicyConfigWindows10, "{CA286FC3-91FD-42C3-8E9B-CAAFA66242E3}"},
      {halvern::IID_IPolicyConfigWindows10_1, "{6BE54BE8-A068-4875-A49D-0C2966473B11}"}};
  for (const auto& [id, text] : ids) EXPECT_TRUE(IsEqualGUID(id, Parse(text))) << text;
}

TEST(ComDeclarations, PropertyKeysAreTheSystemOnes) {
  const struct {
    PROPERTYKEY key;
    const char* fmtid;
    DWORD pid;
  } keys[] = {{PKEY_DeviceInterface_FriendlyName, "{026E516E-B814-414B-83CD-856D6FEF4822}", 2},
              {PKEY_Device_FriendlyName, "{A45C254E-DF1C-4EFD-8020-67D146A850E0}", 14},
              {PKEY_Device_DeviceDesc, "{A45C254E-DF1C-4EFD-8020-67D146A850E0}", 2},
              {PKEY_AudioEndpoint_FormFactor, "{1DA5D803-D492-4EDD-8C23-E0C0FFEE7F0E}", 0},
              {PKEY_AudioEngine_DeviceFormat, "{F19F064D-082C-4E27-BC73-6882A1BB8E4C}", 0}};
  for (const auto& k : keys) {
    EXPECT_TRUE(IsEqualGUID(k.key.fmtid, Parse(k.fmtid))) << k.fmtid;
    EXPECT_EQ(k.key.pid, k.pid) << k.fmtid;
  }
}

TEST(ComDeclarations, ResultCodesAndConstantsHaveTheirWindowsValues) {
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_NOT_INITIALIZED), 0x88890001u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_ALREADY_INITIALIZED), 0x88890002u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_DEVICE_INVALIDATED), 0x88890004u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_BUFFER_TOO_LARGE), 0x88890006u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_UNSUPPORTED_FORMAT), 0x88890008u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_DEVICE_IN_USE), 0x8889000Au);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED), 0x8889000Eu);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_EXCLUSIVE_MODE_ONLY), 0x88890012u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED), 0x88890019u);
  EXPECT_EQ(static_cast<unsigned>(AUDCLNT_S_BUFFER_EMPTY), 0x08890001u);
  EXPECT_EQ(AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST, 0xC0000u);
  EXPECT_EQ(DEVICE_STATE_ACTIVE | DEVICE_STATE_DISABLED | DEVICE_STATE_UNPLUGGED, 11u);
  EXPECT_EQ(static_cast<int>(eCommunications), 2);
  EXPECT_EQ(static_cast<int>(eCapture), 1);
}

TEST(ComDeclarations, PropertyRecordsKeepTheirWindowsLayout) {
  EXPECT_EQ(sizeof(PROPERTYKEY), 20u);
  EXPECT_EQ(offsetof(PROPERTYKEY, pid), 16u);
  EXPECT_EQ(sizeof(PROPVARIANT), 24u);
  PROPVARIANT v;
  PropVariantInit(&v);
  EXPECT_EQ(reinterpret_cast<char*>(&v.ulVal) - reinterpret_cast<char*>(&v), 8);
  EXPECT_EQ(reinterpret_cast<char*>(&v.blob) - reinterpret_cast<char*>(&v), 8);
  EXPECT_EQ(v.vt, VT_EMPTY);
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

}  // namespace

namespace {

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
