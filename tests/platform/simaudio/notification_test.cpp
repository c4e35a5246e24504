#if !defined(_WIN32)

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/policy_config.h"
#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

// Records every notification as one line, with the thread it arrived on.
class Recorder final : public IMMNotificationClient {
 public:
  virtual ~Recorder() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IMMNotificationClient) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_Refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_Refs; }

  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    return Add(u"state " + Id(id) + u" " + static_cast<char16_t>(u'0' + state));
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override { return Add(u"added " + Id(id)); }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    return Add(u"removed " + Id(id));
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    return Add(u"default " + std::u16string(1, u'0' + flow) + std::u16string(1, u'0' + role) +
               u" " + Id(id));
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) override {
    const bool format = IsEqualPropertyKey(key, PKEY_AudioEngine_DeviceFormat);
    return Add(u"property " + Id(id) + (format ? u" format" : u" other"));
  }

  std::vector<std::u16string> Lines() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.clear();
  }
  bool AllOnOtherThread(std::thread::id caller) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (auto t : m_Threads)
      if (t == caller) return false;
    return !m_Threads.empty();
  }
  int Refs() const { return m_Refs; }

 private:
  static std::u16string Id(LPCWSTR id) { return id == nullptr ? u"(null)" : id; }
  HRESULT Add(std::u16string line) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.push_back(std::move(line));
    m_Threads.push_back(std::this_thread::get_id());
    return S_OK;
  }
  std::atomic<int> m_Refs{1};
  std::mutex m_Mutex;
  std::vector<std::u16string> m_Lines;
  std::vector<std::thread::id> m_Threads;
};

using Lines = std::vector<std::u16string>;

class SimNotifications : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    const auto stereo = MakeFloatFormat(48000, 2);
    ASSERT_EQ(AddEndpoint(Endpoint(u"spk", eRender, stereo)), S_OK);
    ASSERT_EQ(AddEndpoint(Endpoint(u"hp", eRender, stereo)), S_OK);
    ASSERT_TRUE(WaitForNotifications(10000));
    m_Enumerator = Enumerator();
    ASSERT_EQ(m_Enumerator->RegisterEndpointNotificationCallback(&m_Recorder), S_OK);
  }
  void TearDown() override {
    m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder);
    m_Enumerator.Reset();
    SimAudioTest::TearDown();
  }
  Lines Delivered() {
    EXPECT_TRUE(WaitForNotifications(10000));
    return m_Recorder.Lines();
  }
  ComPtr<IPolicyConfig> Policy() {
    ComPtr<IPolicyConfig> policy;
    EXPECT_EQ(CoCreateInstance(CLSID_CPolicyConfigClient, nullptr, CLSCTX_ALL, IID_IPolicyConfig,
                               policy.PutVoid()),
              S_OK);
    return policy;
  }

  Recorder m_Recorder;
  ComPtr<IMMDeviceEnumerator> m_Enumerator;
};

TEST_F(SimNotifications, DefaultChangeThroughPolicyObjectIsReportedOnAnotherThread) {
  ASSERT_EQ(Policy()->SetDefaultEndpoint(u"hp", eCommunications), S_OK);
  EXPECT_EQ(Delivered(), Lines({u"default 02 hp"}));
  EXPECT_TRUE(m_Recorder.AllOnOtherThread(std::this_thread::get_id()));
  EXPECT_EQ(GetDefaultEndpoint(eRender, eCommunications), u"hp");
  EXPECT_EQ(GetDefaultEndpoint(eRender, eConsole), u"spk");

  // Setting the role it already holds changes nothing and says nothing.
  m_Recorder.Clear();
  ASSERT_EQ(Policy()->SetDefaultEndpoint(u"hp", eCommunications), S_OK);
  EXPECT_EQ(Delivered(), Lines());
}

TEST_F(SimNotifications, UnpluggingTheDefaultMovesItsRolesAfterTheStateChange) {
  ASSERT_EQ(SetEndpointState(u"spk", DEVICE_STATE_UNPLUGGED), S_OK);
  EXPECT_EQ(Delivered(),
            Lines({u"state spk 8", u"default 00 hp", u"default 01 hp", u"default 02 hp"}));
  m_Recorder.Clear();
  ASSERT_EQ(RemoveEndpoint(u"hp"), S_OK);
  EXPECT_EQ(Delivered(), Lines({u"removed hp", u"default 00 (null)", u"default 01 (null)",
                                u"default 02 (null)"}));
  m_Recorder.Clear();
  // Plugged in again, it takes the roles nobody holds.
  ASSERT_EQ(SetEndpointState(u"spk", DEVICE_STATE_ACTIVE), S_OK);
  EXPECT_EQ(Delivered(),
            Lines({u"state spk 1", u"default 00 spk", u"default 01 spk", u"default 02 spk"}));
}

TEST_F(SimNotifications, HidingAnEndpointDisablesItAndShowingItEnablesIt) {
  ComPtr<IPolicyConfig> policy = Policy();
  ASSERT_EQ(SetDefaultEndpoint(eRender, eConsole, u"spk"), S_OK);
  ASSERT_EQ(policy->SetEndpointVisibility(u"hp", FALSE), S_OK);
  DWORD state = 0;
  ASSERT_EQ(GetState(u"hp", &state), S_OK);
  EXPECT_EQ(state, DEVICE_STATE_DISABLED);
  EXPECT_FALSE(IsVisible(u"hp"));
  ASSERT_EQ(policy->SetEndpointVisibility(u"hp", TRUE), S_OK);
  ASSERT_EQ(GetState(u"hp", &state), S_OK);
  EXPECT_EQ(state, DEVICE_STATE_ACTIVE);
  EXPECT_EQ(Delivered(), Lines({u"state hp 2", u"state hp 1"}));
  // A hidden endpoint cannot take a role.
  ASSERT_EQ(policy->SetEndpointVisibility(u"hp", FALSE), S_OK);
  EXPECT_EQ(policy->SetDefaultEndpoint(u"hp", eConsole), MAKE_HRESULT_CODE(0x80070490u));
}

TEST_F(SimNotifications, FormatAndNameChangesRaisePropertyNotifications) {
  ASSERT_EQ(SetDeviceFormat(u"hp", MakePcmFormat(44100, 2, 24)), S_OK);
  ASSERT_EQ(SetEndpointNames(u"hp", u"Test Card", u"Headphones (Test Card)", u"Speakers"), S_OK);
  ASSERT_EQ(AddEndpoint(Endpoint(u"mic", eCapture, MakePcmFormat(16000, 1, 16))), S_OK);
  EXPECT_EQ(Delivered(), Lines({u"property hp format", u"property hp other", u"added mic",
                                u"default 10 mic", u"default 11 mic", u"default 12 mic"}));
}

TEST_F(SimNotifications, UnregisteredAndResetClientsHearNothingAndAreReleased) {
  EXPECT_EQ(RegisteredNotificationClients(), 1u);
  EXPECT_EQ(m_Recorder.Refs(), 2);
  ASSERT_EQ(m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder), S_OK);
  EXPECT_EQ(m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder),
            MAKE_HRESULT_CODE(0x80070490u));
  EXPECT_EQ(m_Recorder.Refs(), 1);
  ASSERT_EQ(RemoveEndpoint(u"hp"), S_OK);
  EXPECT_EQ(Delivered(), Lines());

  ASSERT_EQ(m_Enumerator->RegisterEndpointNotificationCallback(&m_Recorder), S_OK);
  Reset();
  EXPECT_EQ(RegisteredNotificationClients(), 0u);
  EXPECT_EQ(m_Recorder.Refs(), 1);
}

// The policy object is reached through the device layer's declaration, as on Windows.
TEST_F(SimNotifications, PolicyObjectAnswersOnlyTheInterfacesTheSystemHas) {
  SetPolicyConfigInterfaces(kPolicyConfigWindows10_1);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(CoCreateInstance(CLSID_CPolicyConfigClient, nullptr, CLSCTX_ALL, IID_IUnknown,
                             unknown.PutVoid()),
            S_OK);
  ComPtr<IPolicyConfig> policy;
  EXPECT_EQ(unknown->QueryInterface(IID_IPolicyConfig, policy.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(unknown->QueryInterface(IID_IPolicyConfigWindows10, policy.PutVoid()), E_NOINTERFACE);
  ASSERT_EQ(unknown->QueryInterface(IID_IPolicyConfigWindows10_1, policy.PutVoid()), S_OK);

  WAVEFORMATEX* format = nullptr;
  ASSERT_EQ(policy->GetDeviceFormat(u"hp", FALSE, &format), S_OK);
  EXPECT_EQ(format->nSamplesPerSec, 48000u);
  EXPECT_EQ(format->wBitsPerSample, 32);
  CoTaskMemFree(format);
  DeviceShareMode mode = DeviceExclusive;
  EXPECT_EQ(policy->GetShareMode(u"hp", &mode), S_OK);
  EXPECT_EQ(mode, DeviceShared);
  EXPECT_EQ(policy->GetDeviceFormat(u"nope", FALSE, &format), MAKE_HRESULT_CODE(0x80070490u));

  // A device format written through the policy object is what the property store reads next.
  WAVEFORMATEXTENSIBLE pcm = MakePcmFormat(44100, 2, 16);
  ASSERT_EQ(policy->SetDeviceFormat(u"hp", &pcm.Format, &pcm.Format), S_OK);
  ComPtr<IPropertyStore> store;
  ASSERT_EQ(Device(u"hp")->OpenPropertyStore(STGM_READ, store.Put()), S_OK);
  PROPVARIANT v;
  ASSERT_EQ(store->GetValue(PKEY_AudioEngine_DeviceFormat, &v), S_OK);
  ASSERT_EQ(v.vt, VT_BLOB);
  EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(v.blob.pBlobData)->nSamplesPerSec, 44100u);
  EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(v.blob.pBlobData)->wBitsPerSample, 16);
  PropVariantClear(&v);
  EXPECT_EQ(Delivered(), Lines({u"property hp format"}));
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
