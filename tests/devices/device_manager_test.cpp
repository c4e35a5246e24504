// The device manager on the simulated core audio system.
#if !defined(_WIN32)

#include "devices/device_manager.h"

#include <functional>

#include "platform/simaudio/sim_machine.h"
#include "support/device_trace_test.h"

namespace halvern {
namespace {

using namespace simaudio;
using testing::Text;

class DeviceManagerTest : public testing::SimDeviceTest {
 protected:
  void SetUp() override {
    SimDeviceTest::SetUp();
    ASSERT_EQ(AddStandardMachine(), S_OK);
  }
  // "id:role:default" of every entry, in map order.
  static std::string Describe(const EndpointMap& map) {
    std::string text;
    for (const auto& [id, info] : map)
      text += Text(id.c_str()) + ":" + std::to_string(info.role) + (info.isDefault ? "d " : " ");
    return text;
  }
};

TEST_F(DeviceManagerTest, DefaultsOnlyTakeConsoleThenCommunications) {
  const std::string speakers = Text(kSpeakersId), headset = Text(kHeadsetRenderId);
  const struct {
    const char16_t* communications;
    HRESULT result;
    std::string entries;
  } cases[] = {{kSpeakersId, S_OK, speakers + ":2d "},
               {kHeadsetRenderId, S_OK, speakers + ":0d " + headset + ":2d "},
               {u"", E_NOTFOUND, speakers + ":0d "}};  // the role has no default
  for (const auto& c : cases) {
    ASSERT_EQ(SetDefaultEndpoint(eRender, eCommunications, c.communications), S_OK);
    m_Debug.Clear();
    EndpointMap map;
    EXPECT_EQ(CDeviceManager::EnumerateEndpoints(&map, false, true, 0), c.result);
    EXPECT_EQ(Describe(map), c.entries);
    EXPECT_EQ(Errors(), c.result == S_OK ? 0 : 1);
    EXPECT_EQ(Count("Unable to get default device for role 2: 80070490"), Errors());
  }
  EXPECT_EQ(CDeviceManager::EnumerateEndpoints(nullptr, false, true, 0), E_POINTER);
}

TEST_F(DeviceManagerTest, AllEndpointsAddNewIdsInUtf16OrderByState) {
  // UTF-16 code units: upper case first, a prefix first, a surrogate pair before U+FF01.
  for (const char16_t* id : {u"b", u"ab", u"a", u"B", u"\U0001F600", u"\uFF01"})
    ASSERT_EQ(
        AddEndpoint({.id = id, .interfaceName = u"X", .deviceFormat = MakeFloatFormat(8000, 1)}),
        S_OK);
  ASSERT_EQ(SetEndpointState(kHeadsetRenderId, DEVICE_STATE_UNPLUGGED), S_OK);
  const std::string playback = Text(kHalvernPlaybackId) + ":0 ", speakers = Text(kSpeakersId),
                    headset = Text(kHeadsetRenderId) + ":0 ";
  for (UINT32 flags = 0; flags < 4; ++flags) {
    EndpointMap map;
    ASSERT_EQ(CDeviceManager::EnumerateEndpoints(&map, false, true, 0), S_OK);
    ASSERT_EQ(CDeviceManager::EnumerateEndpoints(&map, false, false, flags), S_OK);
    EXPECT_EQ(Describe(map), "B:0 a:0 ab:0 b:0 " + std::string(flags & 1 ? playback : "") +
                                 speakers + ":2d " + (flags & 2 ? headset : "") +
                                 "\U0001F600:0 \uFF01:0 ");
  }
  // Found while disabled, so that it can be shown again; names match case-sensitively.
  EndpointInfo info{};
  ASSERT_EQ(SetEndpointState(kHalvernCaptureId, DEVICE_STATE_DISABLED), S_OK);
  m_Debug.Clear();
  EXPECT_EQ(CDeviceManager::FindDeviceByName(true, u"Halvern Sound Capture", &info), S_OK);
  EXPECT_EQ(Text(info.id), Text(kHalvernCaptureId));
  EXPECT_EQ(Count("Found requested device: Halvern Sound Capture"), 1);
  EXPECT_EQ(Text(info.friendlyName), "Line (Halvern Sound Capture)");
  EXPECT_EQ(CDeviceManager::FindDeviceByName(true, u"halvern", &info), E_NOTFOUND);
  EXPECT_EQ(CDeviceManager::FindDeviceByName(true, nullptr, &info), E_NOTFOUND);
}

TEST_F(DeviceManagerTest, VolumeIsClampedToTheDevicesRange) {
  CDeviceManager manager(m_Enumerator.Get());
  float peaks[2] = {1, 1}, level = 1;
  EXPECT_EQ(manager.GetMeterPeaks(peaks), S_OK);  // nothing selected: nothing done
  EXPECT_EQ(manager.SetChannelVolumeDb(0, 1), S_OK);
  ASSERT_EQ(manager.SelectDevice(kHalvernCaptureId), S_OK);
  EXPECT_EQ(manager.DeviceFormat()->nSamplesPerSec, 48000u);
  const struct {
    UINT32 channel;
    float requested, set;
    HRESULT result;
  } cases[] = {
      {0, -200, -96, S_OK}, {1, 12, 0, S_OK}, {1, -12.5, -12.5, S_OK}, {2, -6, 1, E_INVALIDARG}};
  for (const auto& c : cases) {
    EXPECT_EQ(manager.SetChannelVolumeDb(c.channel, c.requested), c.result);
    level = 1;
    EXPECT_EQ(manager.GetChannelVolumeDb(c.channel, &level), c.result);
    EXPECT_EQ(level, c.set);
  }
}

TEST_F(DeviceManagerTest, PolicyInterfacesAreTriedInOrderAndTheObjectReused) {
  const std::string id = Text(kSpeakersId), using_ = "CreatePolicyConfig() - Using ";
  const struct {
    unsigned interfaces;
    HRESULT fault;  // of creating the object
    HRESULT result;
    std::string line;
  } cases[] = {
      {kPolicyConfig | kPolicyConfigWindows10_1, S_OK, S_OK, "IPolicyConfig interface: " + id},
      {kPolicyConfig, S_OK, S_OK, "IPolicyConfig interface: " + id},
      {kPolicyConfigWindows10, S_OK, S_OK, "IPolicyConfigWindows10 interface: " + id},
      {kPolicyConfigWindows10_1, S_OK, S_OK, "IPolicyConfigWindows10_1 interface: " + id},
      // Only IUnknown: its line at warning level, then the object is refused.
      {0, S_OK, E_NOINTERFACE, "IUnknown instead of IPolicyConfig interface: " + id},
      {7, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interfaces);
    SetPolicyConfigInterfaces(c.interfaces);
    ASSERT_TRUE(c.fault == S_OK ||
                InjectFault(u"", "CoCreateInstance(PolicyConfig)", c.fault) == S_OK);
    m_Debug.Clear();
    CDeviceManager manager(m_Enumerator.Get());
    EXPECT_EQ(manager.SelectDevice(kSpeakersId), c.result);
    EXPECT_EQ(Count(using_), c.line.empty() ? 0 : 1);
    EXPECT_EQ(Count(using_ + c.line), c.line.empty() ? 0 : 1);
    ClearFaults();
    if (c.result == S_OK) {  // the object serves the next selection too
      ASSERT_EQ(InjectFault(u"", "CoCreateInstance(PolicyConfig)", REGDB_E_CLASSNOTREG), S_OK);
      EXPECT_EQ(manager.SelectDevice(kHeadsetRenderId), S_OK);
      ClearFaults();
      continue;
    }
    // The creation's line and dump, then the selection's line and dump.
    EXPECT_EQ(Count("CreatePolicyConfig() - Unable to get IPolicyConfig interface: " + id), 1);
    EXPECT_EQ(Count("DeviceID   : " + id), 2);
    EXPECT_EQ(Errors(), 2);
    EXPECT_EQ(Count("WRN  "), c.interfaces == 0 ? 1 : 0);
    EXPECT_EQ(manager.DeviceFormat(), nullptr);  // what came before the failure stays
    EXPECT_EQ(Text(manager.DeviceId()), id);
  }
}

TEST_F(DeviceManagerTest, ShowsHidesAndMakesThePlaybackEndpointDefault) {
  CDeviceManager manager(m_Enumerator.Get());
  EXPECT_EQ(manager.SetDefaultEndpoint(eConsole), E_POINTER);  // nothing selected
  EXPECT_EQ(manager.SetVisible(true), E_POINTER);
  EXPECT_EQ(CDeviceManager(nullptr).SelectDevice(kSpeakersId), E_POINTER);
  EXPECT_TRUE(m_Debug.Lines().empty());
  ASSERT_EQ(manager.SelectDevice(kHalvernPlaybackId), S_OK);
  EXPECT_EQ(manager.SetDefaultEndpoint(eCommunications), E_NOTFOUND);  // hidden: no role
  EXPECT_EQ(manager.SetVisible(true), S_OK);
  EXPECT_TRUE(IsVisible(kHalvernPlaybackId));
  EXPECT_EQ(manager.SetDefaultEndpoint(eCommunications), S_OK);
  EXPECT_EQ(GetDefaultEndpoint(eRender, eCommunications), kHalvernPlaybackId);
  EXPECT_EQ(manager.SetVisible(false), S_OK);
  EXPECT_FALSE(IsVisible(kHalvernPlaybackId));
}

// Every COM call failing once: the caller gets the system's code, the log one error line with it.
TEST_F(DeviceManagerTest, EveryFailingCallIsReturnedAndLoggedOnce) {
  constexpr HRESULT kFault = static_cast<HRESULT>(0x80070015u);
  using Operation = std::function<HRESULT(CDeviceManager&)>;
  EndpointMap map;
  EndpointInfo info;
  float values[2];
  const Operation select = [](CDeviceManager& m) { return m.SelectDevice(kSpeakersId); };
  const Operation all = [&](CDeviceManager&) {
    return CDeviceManager::EnumerateEndpoints(&map, false, false, 0);
  };
  const Operation defaults = [&](CDeviceManager&) {
    return CDeviceManager::EnumerateEndpoints(&map, false, true, 0);
  };
  const Operation describe = [&](CDeviceManager& m) {
    return CDeviceManager::GetEndpointInfo(m.Device(), &info);
  };
  const Operation meter = [&](CDeviceManager& m) { return m.GetMeterPeaks(values); };
  const Operation getVolume = [&](CDeviceManager& m) { return m.GetChannelVolumeDb(0, values); };
  const Operation setVolume = [](CDeviceManager& m) { return m.SetChannelVolumeDb(0, -3); };
  const Operation setDefault = [](CDeviceManager& m) { return m.SetDefaultEndpoint(eConsole); };
  const Operation setVisible = [](CDeviceManager& m) { return m.SetVisible(true); };
  const struct {
    const Operation& operation;
    const char16_t* id;
    const char* method;
    HRESULT result = kFault;
    int hexLines = 1;
  } cases[] = {
      {select, kSpeakersId, "IMMDeviceEnumerator::GetDevice"},
      {select, kSpeakersId, "IMMDevice::GetId"},
      {select, kSpeakersId, "IPolicyConfig::GetDeviceFormat"},
      {select, kSpeakersId, "IPolicyConfig::GetShareMode"},
      {all, u"", "CoCreateInstance(MMDeviceEnumerator)"},
      {all, u"", "IMMDeviceEnumerator::EnumAudioEndpoints"},
      {all, u"", "IMMDeviceCollection::GetCount"},
      // A failing role or item is passed over; the next one decides the result.
      {all, u"*", "IMMDeviceCollection::Item", S_OK, 0},
      {defaults, u"", "IMMDeviceEnumerator::GetDefaultAudioEndpoint", S_OK},
      {describe, kSpeakersId, "IMMDevice::GetId"},
      {describe, kSpeakersId, "IMMDevice::OpenPropertyStore"},
      {meter, kSpeakersId, "IMMDevice::Activate"},
      {meter, kSpeakersId, "IAudioMeterInformation::GetChannelsPeakValues"},
      {getVolume, kSpeakersId, "IMMDevice::Activate"},
      {getVolume, kSpeakersId, "IAudioEndpointVolume::GetChannelVolumeLevel"},
      {setVolume, kSpeakersId, "IAudioEndpointVolume::GetVolumeRange"},
      {setVolume, kSpeakersId, "IAudioEndpointVolume::SetChannelVolumeLevel"},
      {setDefault, kSpeakersId, "IPolicyConfig::SetDefaultEndpoint"},
      {setVisible, kSpeakersId, "IPolicyConfig::SetEndpointVisibility"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    CDeviceManager manager(m_Enumerator.Get());
    ASSERT_EQ(manager.SelectDevice(kSpeakersId), S_OK);
    m_Debug.Clear();
    ASSERT_EQ(InjectFault(c.id, c.method, kFault, 1), S_OK);
    EXPECT_EQ(c.operation(manager), c.result);
    ClearFaults();
    EXPECT_EQ(Errors(), 1);
    EXPECT_EQ(Count("80070015"), c.hexLines);
  }
}

}  // namespace
}  // namespace halvern

#endif
