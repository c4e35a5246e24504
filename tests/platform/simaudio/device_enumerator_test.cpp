#if !defined(_WIN32)

#include <cstring>
#include <set>
#include <thread>

#include "platform/simaudio/sim_fixture.h"
#include "platform/simaudio/sim_machine.h"

namespace halvern::simaudio::test {
namespace {

class SimEnumeration : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    const auto stereo = MakePcmFormat(48000, 2, 16);
    ASSERT_EQ(AddEndpoint(Endpoint(u"r.active", eRender, stereo)), S_OK);
    auto hidden = Endpoint(u"r.hidden", eRender, stereo);
    hidden.state = DEVICE_STATE_DISABLED;
    ASSERT_EQ(AddEndpoint(hidden), S_OK);
    auto unplugged = Endpoint(u"r.unplugged", eRender, stereo);
    unplugged.state = DEVICE_STATE_UNPLUGGED;
    ASSERT_EQ(AddEndpoint(unplugged), S_OK);
    auto gone = Endpoint(u"r.gone", eRender, stereo);
    gone.state = DEVICE_STATE_NOTPRESENT;
    ASSERT_EQ(AddEndpoint(gone), S_OK);
    ASSERT_EQ(AddEndpoint(Endpoint(u"c.active", eCapture, stereo)), S_OK);
  }

  std::set<std::u16string> Ids(EDataFlow flow, DWORD mask) {
    ComPtr<IMMDeviceCollection> collection;
    EXPECT_EQ(Enumerator()->EnumAudioEndpoints(flow, mask, collection.Put()), S_OK);
    UINT count = 0;
    EXPECT_EQ(collection->GetCount(&count), S_OK);
    std::set<std::u16string> ids;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> device;
      EXPECT_EQ(collection->Item(i, device.Put()), S_OK);
      LPWSTR id = nullptr;
      EXPECT_EQ(device->GetId(&id), S_OK);
      ids.insert(id);
      CoTaskMemFree(id);
    }
    return ids;
  }
};

TEST_F(SimEnumeration, CollectionsFollowFlowAndStateMask) {
  using Set = std::set<std::u16string>;
  EXPECT_EQ(Ids(eRender, DEVICE_STATE_ACTIVE), Set({u"r.active"}));
  EXPECT_EQ(Ids(eRender, DEVICE_STATE_ACTIVE | DEVICE_STATE_DISABLED | DEVICE_STATE_UNPLUGGED),
            Set({u"r.active", u"r.hidden", u"r.unplugged"}));
  EXPECT_EQ(Ids(eRender, DEVICE_STATE_NOTPRESENT), Set({u"r.gone"}));
  EXPECT_EQ(Ids(eCapture, DEVICE_STATEMASK_ALL), Set({u"c.active"}));
  EXPECT_EQ(Ids(eAll, DEVICE_STATE_ACTIVE), Set({u"r.active", u"c.active"}));

  ComPtr<IMMDeviceCollection> collection;
  EXPECT_EQ(Enumerator()->EnumAudioEndpoints(eRender, 0, collection.Put()), E_INVALIDARG);
  EXPECT_EQ(Enumerator()->EnumAudioEndpoints(eRender, 0x10, collection.Put()), E_INVALIDARG);
  ASSERT_EQ(Enumerator()->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.Put()), S_OK);
  ComPtr<IMMDevice> device;
  EXPECT_EQ(collection->Item(1, device.Put()), E_INVALIDARG);
}

TEST_F(SimEnumeration, DevicesOfEveryStateAreFoundByIdAndReportTheirState) {
  auto enumerator = Enumerator();
  const std::pair<const char16_t*, DWORD> expected[] = {{u"r.active", DEVICE_STATE_ACTIVE},
                                                        {u"r.hidden", DEVICE_STATE_DISABLED},
                                                        {u"r.unplugged", DEVICE_STATE_UNPLUGGED},
                                                        {u"r.gone", DEVICE_STATE_NOTPRESENT}};
  for (const auto& [id, state] : expected) {
    ComPtr<IMMDevice> device;
    ASSERT_EQ(enumerator->GetDevice(id, device.Put()), S_OK);
    DWORD got = 0;
    EXPECT_EQ(device->GetState(&got), S_OK);
    EXPECT_EQ(got, state);
  }
  ComPtr<IMMDevice> device;
  EXPECT_EQ(enumerator->GetDevice(u"nope", device.Put()), MAKE_HRESULT_CODE(0x80070490u));
  EXPECT_EQ(device.Get(), nullptr);

  // Only an active endpoint can be streamed from.
  ComPtr<IAudioClient> client;
  ASSERT_EQ(enumerator->GetDevice(u"r.hidden", device.Put()), S_OK);
  EXPECT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, client.PutVoid()),
            AUDCLNT_E_DEVICE_INVALIDATED);
  ASSERT_EQ(enumerator->GetDevice(u"r.active", device.Put()), S_OK);
  ComPtr<IUnknown> other;
  EXPECT_EQ(device->Activate(IID_IPropertyStore, CLSCTX_ALL, nullptr, other.PutVoid()),
            E_NOINTERFACE);
}

TEST_F(SimEnumeration, PropertyStoreHoldsNamesFormFactorAndDeviceFormat) {
  ComPtr<IPropertyStore> store;
  ASSERT_EQ(Device(u"c.active")->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
  PROPVARIANT v;
  PropVariantInit(&v);
  const std::pair<PROPERTYKEY, std::u16string> names[] = {
      {PKEY_DeviceInterface_FriendlyName, u"Test Card"},
      {PKEY_Device_FriendlyName, u"Speakers (Test Card)"},
      {PKEY_Device_DeviceDesc, u"Speakers"}};
  for (const auto& [key, text] : names) {
    ASSERT_EQ(store->GetValue(key, &v), S_OK);
    ASSERT_EQ(v.vt, VT_LPWSTR);
    EXPECT_EQ(std::u16string(v.pwszVal), text);
    EXPECT_EQ(PropVariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
  }
  ASSERT_EQ(store->GetValue(PKEY_AudioEndpoint_FormFactor, &v), S_OK);
  EXPECT_EQ(v.vt, VT_UI4);
  EXPECT_EQ(v.ulVal, static_cast<ULONG>(Microphone));

  ASSERT_EQ(store->GetValue(PKEY_AudioEngine_DeviceFormat, &v), S_OK);
  ASSERT_EQ(v.vt, VT_BLOB);
  ASSERT_EQ(v.blob.cbSize, 40u);
  WAVEFORMATEXTENSIBLE format;
  std::memcpy(&format, v.blob.pBlobData, 40);
  EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(format.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(format.Format.nChannels, 2);
  EXPECT_EQ(format.Format.nBlockAlign, 4);
  EXPECT_EQ(format.Format.nAvgBytesPerSec, 192000u);
  EXPECT_EQ(format.dwChannelMask, 3u);
  EXPECT_TRUE(format.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
  PropVariantClear(&v);

  // Keys the endpoint does not carry read as empty, not as an error.
  const PROPERTYKEY unknown = {PKEY_Device_FriendlyName.fmtid, 99};
  ASSERT_EQ(store->GetValue(unknown, &v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  EXPECT_EQ(Device(u"c.active")->OpenPropertyStore(STGM_READWRITE, store.Put()), E_ACCESSDENIED);
}

TEST_F(SimEnumeration, PlainDeviceFormatIsAShortBlobAndDuplicateIdsAreRefused) {
  WAVEFORMATEXTENSIBLE plain{};
  plain.Format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  ASSERT_EQ(AddEndpoint(Endpoint(u"r.plain", eRender, plain)), S_OK);
  EXPECT_EQ(AddEndpoint(Endpoint(u"r.plain", eRender, plain)), E_INVALIDARG);
  ComPtr<IPropertyStore> store;
  ASSERT_EQ(Device(u"r.plain")->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
  PROPVARIANT v;
  ASSERT_EQ(store->GetValue(PKEY_AudioEngine_DeviceFormat, &v), S_OK);
  ASSERT_EQ(v.vt, VT_BLOB);
  EXPECT_EQ(v.blob.cbSize, 18u);
  PropVariantClear(&v);
}

TEST_F(SimEnumeration, FirstActiveEndpointOfAFlowTakesEveryRole) {
  auto enumerator = Enumerator();
  for (ERole role : {eConsole, eMultimedia, eCommunications}) {
    ComPtr<IMMDevice> device;
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, role, device.Put()), S_OK);
    LPWSTR id = nullptr;
    ASSERT_EQ(device->GetId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"r.active");
    CoTaskMemFree(id);
  }
  ComPtr<IMMDevice> device;
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eAll, eConsole, device.Put()), E_INVALIDARG);
  ASSERT_EQ(SetDefaultEndpoint(eCapture, eCommunications, u""), S_OK);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, device.Put()),
            MAKE_HRESULT_CODE(0x80070490u));
  EXPECT_EQ(SetDefaultEndpoint(eCapture, eConsole, u"r.active"), E_INVALIDARG);
}

TEST_F(SimAudioTest, StandardMachineHasTheVirtualCardHiddenForPlaybackAndDefaultForCapture) {
  ASSERT_EQ(AddStandardMachine(), S_OK);
  EXPECT_EQ(GetDefaultEndpoint(eCapture, eConsole), kHalvernCaptureId);
  EXPECT_EQ(GetDefaultEndpoint(eRender, eConsole), kSpeakersId);
  EXPECT_EQ(GetDefaultEndpoint(eRender, eCommunications), kSpeakersId);

  // The virtual card is found by its adapter name among endpoints of every state but "not present".
  ComPtr<IMMDeviceCollection> collection;
  ASSERT_EQ(Enumerator()->EnumAudioEndpoints(
                eRender, DEVICE_STATE_ACTIVE | DEVICE_STATE_DISABLED | DEVICE_STATE_UNPLUGGED,
                collection.Put()),
            S_OK);
  UINT count = 0;
  ASSERT_EQ(collection->GetCount(&count), S_OK);
  std::u16string found;
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    ComPtr<IPropertyStore> store;
    ASSERT_EQ(collection->Item(i, device.Put()), S_OK);
    ASSERT_EQ(device->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
    PROPVARIANT v;
    ASSERT_EQ(store->GetValue(PKEY_DeviceInterface_FriendlyName, &v), S_OK);
    if (std::u16string(v.pwszVal).find(u"Halvern Sound Capture") != std::u16string::npos) {
      LPWSTR id = nullptr;
      ASSERT_EQ(device->GetId(&id), S_OK);
      found = id;
      CoTaskMemFree(id);
      DWORD state = 0;
      ASSERT_EQ(device->GetState(&state), S_OK);
      EXPECT_EQ(state, DEVICE_STATE_DISABLED);
    }
    PropVariantClear(&v);
  }
  EXPECT_EQ(found, kHalvernPlaybackId);
}

TEST(SimCom, CreationNeedsComOnTheThreadOrAMultithreadedApartment) {
  Reset();
  std::thread([] {
    ComPtr<IMMDeviceEnumerator> e;
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, e.PutVoid()),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, e.PutVoid()),
              S_OK);
    ComPtr<IUnknown> unknown;
    const CLSID unregistered = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    EXPECT_EQ(CoCreateInstance(unregistered, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.PutVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IAudioClient,
                               unknown.PutVoid()),
              E_NOINTERFACE);
    e.Reset();
    CoUninitialize();
    CoUninitialize();
  }).join();

  // A thread in the multithreaded apartment lets threads that never initialised COM use it.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  std::thread([] {
    ComPtr<IMMDeviceEnumerator> e;
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, e.PutVoid()),
              S_OK);
  }).join();
  CoUninitialize();
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
