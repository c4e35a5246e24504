#if !defined(_WIN32)

#include <atomic>
#include <mutex>

#include "platform/policy_config.h"
#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

using Lines = std::vector<std::string>;

// Records every notification as one line, then runs its action, on the thread it arrived on.
class Recorder final : public IMMNotificationClient {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_Refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_Refs; }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    return Add("state", id, " " + std::to_string(state));
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override { return Add("added", id); }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override { return Add("removed", id); }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    return Add("default " + std::to_string(flow) + std::to_string(role), id);
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) override {
    const bool format = IsEqualPropertyKey(key, PKEY_AudioEngine_DeviceFormat);
    return Add("property", id, format ? " format" : " " + std::to_string(key.pid));
  }

  Lines Take() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return std::exchange(m_Lines, {});
  }

  std::function<void()> action;
  std::atomic<int> m_Refs{1};

 private:
  HRESULT Add(const std::string& what, LPCWSTR id, const std::string& detail = "") {
    const std::u16string_view name = id == nullptr ? u"(null)" : id;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Lines.push_back(what + " " + std::string(name.begin(), name.end()) + detail);
    }
    if (action) action();
    return S_OK;
  }
  std::mutex m_Mutex;
  Lines m_Lines;
};

// Holds a callback until the test opens it (no kernel object, so strict mode does not object).
struct Gate {
  std::atomic<bool> entered{false}, open{false};
  void Pass() {
    entered = true;
    WaitUntil([&] { return open.load(); });
  }
};

Notification Added(std::u16string id) { return {Notification::kAdded, std::move(id)}; }

class SimNotifications : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    Add(u"spk", eRender, MakeFloatFormat(48000, 2));
    Add(u"hp", eRender, MakeFloatFormat(48000, 2));
    ASSERT_TRUE(WaitForNotifications(10000));
    m_Enumerator = Enumerator();
    ASSERT_EQ(m_Enumerator->RegisterEndpointNotificationCallback(&m_Recorder), S_OK);
  }
  void TearDown() override {
    SimAudioTest::TearDown();  // forgets the registration
    EXPECT_EQ(m_Recorder.m_Refs, 1);
  }
  Lines Delivered() {
    EXPECT_TRUE(WaitForNotifications(10000));
    return m_Recorder.Take();
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

TEST_F(SimNotifications, MachineChangesAreReportedInOrderOnTheNotificationThread) {
  const struct {
    std::function<HRESULT()> change;
    Lines expected;
  } cases[] = {
      {[&] { return Policy()->SetDefaultEndpoint(u"hp", eCommunications); }, {"default 02 hp"}},
      {[&] { return Policy()->SetDefaultEndpoint(u"hp", eCommunications); }, {}},
      // A default that stops being active hands its roles on, after the state change.
      {[] { return SetEndpointState(u"spk", DEVICE_STATE_UNPLUGGED); },
       {"state spk 8", "default 00 hp", "default 01 hp"}},
      {[] { return RemoveEndpoint(u"hp"); },
       {"removed hp", "default 00 (null)", "default 01 (null)", "default 02 (null)"}},
      // An endpoint that becomes active takes the roles nobody holds.
      {[] { return SetEndpointState(u"spk", DEVICE_STATE_ACTIVE); },
       {"state spk 1", "default 00 spk", "default 01 spk", "default 02 spk"}},
      {[] {
         SetEndpointNames(u"spk", u"Test Card", u"Headphones", u"Speakers");
         return SetDeviceFormat(u"spk", MakePcmFormat(44100, 2, 24));
       },
       {"property spk 14", "property spk format"}},
      // Hiding disables, as the sound control panel does; showing enables.
      {[&] { return Policy()->SetEndpointVisibility(u"spk", FALSE); },
       {"state spk 2", "default 00 (null)", "default 01 (null)", "default 02 (null)"}},
      {[&] { return Policy()->SetEndpointVisibility(u"spk", TRUE); },
       {"state spk 1", "default 00 spk", "default 01 spk", "default 02 spk"}},
      {[&] {
         auto pcm = MakePcmFormat(48000, 2, 16);
         return Policy()->SetDeviceFormat(u"spk", &pcm.Format, &pcm.Format);
       },
       {"property spk format"}},
      {[] { return AddEndpoint(Endpoint(u"mic", eCapture, MakePcmFormat(16000, 1, 16))); },
       {"added mic", "default 10 mic", "default 11 mic", "default 12 mic"}},
  };
  const auto test = std::this_thread::get_id();
  m_Recorder.action = [test] { EXPECT_NE(std::this_thread::get_id(), test); };
  for (const auto& c : cases) {
    ASSERT_EQ(c.change(), S_OK);
    EXPECT_EQ(Delivered(), c.expected);
  }
}

TEST_F(SimNotifications, OnlyNotificationsRaisedAfterRegistrationAreDelivered) {
  Gate gate;
  m_Recorder.action = [&] { gate.Pass(); };
  RaiseNotification(Added(u"1"));
  ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
  RaiseNotification(Added(u"2"));  // queued behind the held callback
  Recorder late;
  ASSERT_EQ(m_Enumerator->RegisterEndpointNotificationCallback(&late), S_OK);
  gate.open = true;
  RaiseNotification(Added(u"3"));
  EXPECT_EQ(Delivered(), Lines({"added 1", "added 2", "added 3"}));
  EXPECT_EQ(late.Take(), Lines({"added 3"}));
  ASSERT_EQ(m_Enumerator->UnregisterEndpointNotificationCallback(&late), S_OK);
  EXPECT_EQ(late.m_Refs, 1);
}

TEST_F(SimNotifications, UnregisterReturnsOnlyAfterTheCallbackInProgress) {
  Gate gate;
  m_Recorder.action = [&] { gate.Pass(); };
  RaiseNotification(Added(u"1"));
  ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
  std::atomic<bool> returned{false};
  std::thread other([&] {
    EXPECT_EQ(m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder), S_OK);
    returned = true;
  });
  // The registration is gone at once; the call returns when the callback has.
  ASSERT_TRUE(WaitUntil([] { return RegisteredNotificationClients() == 0; }));
  EXPECT_FALSE(returned);
  gate.open = true;
  other.join();
  RaiseNotification(Added(u"2"));
  EXPECT_EQ(Delivered(), Lines({"added 1"}));
  EXPECT_EQ(m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder), E_NOTFOUND);
}

// https://learn.microsoft.com/en-us/windows/win32/api/mmdeviceapi/nn-mmdeviceapi-immnotificationclient
TEST_F(SimNotifications, StrictModeRecordsEveryBreachOfTheCallbackRules) {
  ComPtr<IAudioClient> client = Client(u"spk");
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Recorder other;
  const struct {
    std::function<void()> inCallback;
    Lines breaches;
  } cases[] = {
      {[&] { WaitForSingleObject(event, 0); }, {}},
      {[&] { WaitForSingleObject(event, 1); }, {"a wait on a kernel object in OnDeviceAdded"}},
      {[&] { client->Stop(); }, {"IAudioClient::Stop in OnDeviceAdded"}},
      {[&] { m_Enumerator->RegisterEndpointNotificationCallback(&other); },
       {"RegisterEndpointNotificationCallback in OnDeviceAdded"}},
      {[&] { m_Enumerator->UnregisterEndpointNotificationCallback(&m_Recorder); },
       {"UnregisterEndpointNotificationCallback in OnDeviceAdded"}},
      {[&] { Enumerator(); }, {"the final Release of IMMDeviceEnumerator in OnDeviceAdded"}},
  };
  for (const auto& c : cases) {
    Reset();
    ASSERT_EQ(m_Enumerator->RegisterEndpointNotificationCallback(&m_Recorder), S_OK);
    m_Recorder.action = c.inCallback;
    RaiseNotification(Added(u"x"));
    ASSERT_TRUE(WaitForNotifications(10000));
    EXPECT_EQ(CallbackBreaches(), c.breaches);
  }
  Reset();
  CloseHandle(event);
}

// COM must be initialised on the calling thread, or some thread be in the multithreaded apartment.
// The notification thread is in that apartment while it calls clients (Windows does not say;
// decided here), and only then: a thread that never initialised COM still fails.
TEST(SimCom, CreationNeedsComOnTheThreadOrAMultithreadedApartment) {
  Reset();
  auto create = [](REFIID iid, ComPtr<IUnknown>& out, REFCLSID clsid = CLSID_MMDeviceEnumerator) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, out.PutVoid());
  };
  std::thread([&] {
    ComPtr<IUnknown> made;
    EXPECT_EQ(create(IID_IMMDeviceEnumerator, made), CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(create(IID_IAudioClient, made), E_NOINTERFACE);
    EXPECT_EQ(create(IID_IUnknown, made, {0x12345678, 0, 0, {}}), REGDB_E_CLASSNOTREG);
    ComPtr<IMMDeviceEnumerator> enumerator;
    ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, enumerator.PutVoid()),
              S_OK);
    Recorder recorder;
    HRESULT inCallback = E_FAIL;
    recorder.action = [&] { inCallback = create(IID_IMMDeviceEnumerator, made); };
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&recorder), S_OK);
    RaiseNotification(Added(u"x"));
    ASSERT_TRUE(WaitForNotifications(10000));
    ASSERT_EQ(enumerator->UnregisterEndpointNotificationCallback(&recorder), S_OK);
    EXPECT_EQ(inCallback, S_OK);
    made.Reset();
    enumerator.Reset();
    CoUninitialize();
    CoUninitialize();
  }).join();
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  std::thread([&] {
    ComPtr<IUnknown> made;
    EXPECT_EQ(create(IID_IMMDeviceEnumerator, made), S_OK);
  }).join();
  CoUninitialize();
  EXPECT_EQ(CallbackBreaches(), Lines());
}

TEST_F(SimNotifications, PolicyObjectHasAnIdentityOfItsOwnAndNullsAFailedFormat) {
  SetPolicyConfigInterfaces(kPolicyConfigWindows10_1);
  ComPtr<IUnknown> unknown, again;
  ASSERT_EQ(CoCreateInstance(CLSID_CPolicyConfigClient, nullptr, CLSCTX_ALL, IID_IUnknown,
                             unknown.PutVoid()),
            S_OK);
  // Which interfaces answer is judged by the device manager's policy tests.
  ComPtr<IPolicyConfig> policy;
  ASSERT_EQ(unknown->QueryInterface(IID_IPolicyConfigWindows10_1, policy.PutVoid()), S_OK);
  // One identity, which is not the policy interface.
  ASSERT_EQ(policy->QueryInterface(IID_IUnknown, again.PutVoid()), S_OK);
  EXPECT_EQ(again.Get(), unknown.Get());
  EXPECT_NE(static_cast<void*>(unknown.Get()), static_cast<void*>(policy.Get()));

  WAVEFORMATEX* format = reinterpret_cast<WAVEFORMATEX*>(1);
  EXPECT_EQ(policy->GetDeviceFormat(u"nope", FALSE, &format), E_NOTFOUND);
  EXPECT_EQ(format, nullptr);
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
