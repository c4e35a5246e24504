#if !defined(_WIN32)

#include <cstring>
#include <set>

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

class SimEnumeration : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    const auto stereo = MakePcmFormat(48000, 2, 16);
    Add(u"r.active", eRender, stereo);
    Add(u"r.hidden", eRender, stereo, false, DEVICE_STATE_DISABLED);
    Add(u"r.unplugged", eRender, stereo, false, DEVICE_STATE_UNPLUGGED);
    Add(u"r.gone", eRender, stereo, false, DEVICE_STATE_NOTPRESENT);
    Add(u"c.active", eCapture, stereo);
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
      platform::CCoTaskMemString id;
      EXPECT_EQ(device->GetId(id.Put()), S_OK);
      ids.insert(id.Get());
    }
    return ids;
  }
};

// The masks of active, disabled and unplugged render endpoints are judged by the device manager's
// enumeration tests.
TEST_F(SimEnumeration, CollectionsFollowFlowAndStateMask) {
  using Set = std::set<std::u16string>;
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

TEST_F(SimEnumeration, LookUpsByIdAndRole) {
  auto enumerator = Enumerator();
  ComPtr<IMMDevice> device;
  EXPECT_EQ(enumerator->GetDevice(u"nope", device.Put()), E_NOTFOUND);
  EXPECT_EQ(device.Get(), nullptr);
  // Only an active endpoint can be streamed from.
  ComPtr<IAudioClient> client;
  ASSERT_EQ(enumerator->GetDevice(u"r.hidden", device.Put()), S_OK);
  EXPECT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, client.PutVoid()),
            AUDCLNT_E_DEVICE_INVALIDATED);

  // Roles taken by the first active endpoint, and a role left without one, are judged by the
  // device manager's default tests on the standard machine.
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eAll, eConsole, device.Put()), E_INVALIDARG);
  EXPECT_EQ(SetDefaultEndpoint(eCapture, eConsole, u"r.active"), E_INVALIDARG);
}

TEST_F(SimEnumeration, PropertyStoreHoldsTheDescriptionFormFactorAndTheDeviceFormatAsStored) {
  WAVEFORMATEXTENSIBLE plain{};
  plain.Format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  ASSERT_EQ(AddEndpoint(Endpoint(u"r.plain", eRender, plain)), S_OK);
  EXPECT_EQ(AddEndpoint(Endpoint(u"r.plain", eRender, plain)), E_INVALIDARG);
  ComPtr<IPropertyStore> store;
  EXPECT_EQ(Device(u"c.active")->OpenPropertyStore(STGM_READWRITE, store.Put()), E_ACCESSDENIED);
  ASSERT_EQ(Device(u"c.active")->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
  platform::CPropVariant v;
  // The adapter and friendly names are judged by the device manager's enumeration tests.
  ASSERT_EQ(store->GetValue(PKEY_Device_DeviceDesc, v.Put()), S_OK);
  ASSERT_EQ(v->vt, VT_LPWSTR);
  EXPECT_EQ(std::u16string(v->pwszVal), u"Speakers");
  ASSERT_EQ(store->GetValue(PKEY_AudioEndpoint_FormFactor, v.Put()), S_OK);
  EXPECT_EQ(v->vt, VT_UI4);
  EXPECT_EQ(v->ulVal, static_cast<ULONG>(Microphone));
  // Keys the endpoint does not carry read as empty, not as an error.
  ASSERT_EQ(store->GetValue({PKEY_Device_FriendlyName.fmtid, 99}, v.Put()), S_OK);
  EXPECT_EQ(v->vt, VT_EMPTY);

  // The device format blob is the record as stored: 40 bytes extensible, 18 plain.
  const auto stereo = MakePcmFormat(48000, 2, 16);
  const std::pair<std::u16string, const WAVEFORMATEX*> formats[] = {{u"c.active", &stereo.Format},
                                                                    {u"r.plain", &plain.Format}};
  for (const auto& [id, format] : formats) {
    ASSERT_EQ(Device(id)->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
    ASSERT_EQ(store->GetValue(PKEY_AudioEngine_DeviceFormat, v.Put()), S_OK);
    ASSERT_EQ(v->vt, VT_BLOB);
    ASSERT_EQ(v->blob.cbSize, 18u + format->cbSize);
    EXPECT_EQ(std::memcmp(v->blob.pBlobData, format, v->blob.cbSize), 0);
  }
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
