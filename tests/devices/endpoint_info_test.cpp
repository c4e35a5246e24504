// EndpointInfo from a device's id and property store, and the host record made from it. The device
// is a stand-in whose reads fail one by one, so this also runs against the Windows SDK.
#include <algorithm>
#include <cstring>

#include "devices/device_manager.h"
#include "support/device_trace_test.h"

namespace halvern {
namespace {

using testing::Text;

constexpr HRESULT kReadFault = static_cast<HRESULT>(0x80070015u);

template <class T>
T* TaskMemCopy(const T* data, size_t bytes) {
  return static_cast<T*>(std::memcpy(CoTaskMemAlloc(bytes), data, bytes));
}

WAVEFORMATEXTENSIBLE StereoFloat() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 44100, 44100 * 8, 8, 32, 22};
  f.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  return f;
}

class CStubDevice final : public IMMDevice, public IPropertyStore {
 public:
  platform::WString id = platform::Utf8ToUtf16("stub");
  int failingRead = -1;  // among GetValue calls, from 0
  ULONG blobSize = 40;

  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* v) override {
    PropVariantInit(v);
    if (m_Reads++ == failingRead) return kReadFault;
    const WAVEFORMATEXTENSIBLE format = StereoFloat();
    if (IsEqualPropertyKey(key, PKEY_AudioEndpoint_FormFactor)) {
      v->vt = VT_UI4;
      v->ulVal = Headphones;
    } else if (IsEqualPropertyKey(key, PKEY_AudioEngine_DeviceFormat)) {
      v->vt = VT_BLOB;
      v->blob.cbSize = blobSize;
      v->blob.pBlobData = TaskMemCopy(reinterpret_cast<const BYTE*>(&format), sizeof(format));
    } else {  // the three names
      v->vt = VT_LPWSTR;
      static constexpr WCHAR kName[] = {u's', u't', 0};
      v->pwszVal = TaskMemCopy(kName, sizeof(kName));
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) override {
    *out = TaskMemCopy(id.c_str(), (id.size() + 1) * sizeof(WCHAR));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    *store = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

 private:
  int m_Reads = 0;
};

using EndpointInfoTest = testing::DeviceTraceTest;

TEST_F(EndpointInfoTest, ReadsFillFieldsUpToTheFirstFailure) {
  const struct {
    int failingRead;
    ULONG blobSize;
    const char* friendlyName;
    UINT32 formFactor;
    WORD channels;
    DWORD channelMask;
  } cases[] = {
      {-1, 40, "st", Headphones, 2, 3}, {-1, 18, "st", Headphones, 2, 0},  // a plain WAVEFORMATEX
      {-1, 0, "st", Headphones, 0, 0},  {1, 40, "", 0, 0, 0},  // the friendly name fails
      {4, 40, "st", Headphones, 0, 0},                         // the device format fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.failingRead << " " << c.blobSize);
    CStubDevice device;
    device.failingRead = c.failingRead;
    device.blobSize = c.blobSize;
    EndpointInfo info;
    std::memset(&info, 0xCC, sizeof(info));
    m_Debug.Clear();
    EXPECT_EQ(CDeviceManager::GetEndpointInfo(&device, &info),
              c.failingRead < 0 ? S_OK : kReadFault);
    EXPECT_EQ(Text(info.id) + Text(info.interfaceName) + "/" + Text(info.friendlyName),
              std::string("stubst/") + c.friendlyName);
    EXPECT_EQ(info.formFactor, c.formFactor);
    EXPECT_EQ(info.deviceFormat.Format.nChannels, c.channels);
    EXPECT_EQ(info.deviceFormat.dwChannelMask, c.channelMask);
    EXPECT_EQ(Count("IPropertyStore::GetValue failed: 80070015"), Errors());
    EXPECT_EQ(Errors(), c.failingRead < 0 ? 0 : 1);
  }
  EXPECT_EQ(CDeviceManager::GetEndpointInfo(nullptr, nullptr), E_POINTER);
}

TEST_F(EndpointInfoTest, IdOf256CharactersFailsCut) {
  CStubDevice device;
  device.id.assign(256, u'x');
  EndpointInfo info;
  EXPECT_EQ(CDeviceManager::GetEndpointInfo(&device, &info), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform::Utf16Length(info.id), 255u);
  EXPECT_EQ(Count("ERR  CDeviceManager::GetEndpointInfo() - StringCchCopy failed (8007007a)"), 1);
}

TEST(EndpointRecord, ConversionCutsStringsAndWidensFormatFields) {
  EndpointInfo info{};
  std::fill(std::begin(info.friendlyName), std::end(info.friendlyName), u'f');  // unterminated
  info.id[0] = u'i';
  info.formFactor = Headset;
  info.isDefault = true;
  info.role = eCommunications;
  info.deviceFormat = StereoFloat();
  DeviceEndpointRecord r;
  std::memset(&r, 0xCC, sizeof(r));
  ASSERT_EQ(ConvertEndpointInfo(&info, &r), S_OK);
  EXPECT_EQ(platform::Utf16Length(r.friendlyName), 255u);
  EXPECT_EQ(Text(r.id), "i");
  EXPECT_EQ(r.reserved[0] | r.reserved[255] | r.interfaceName[0] | r.visible, 0u);
  const UINT32 numbers[] = {r.formFactor, r.role,          r.isDefault,  r.channels,
                            r.sampleRate, r.bitsPerSample, r.channelMask};
  const UINT32 expected[] = {Headset, 2, 1, 2, 44100, 32, 3};
  EXPECT_TRUE(std::equal(std::begin(numbers), std::end(numbers), expected));
  EXPECT_EQ(ConvertEndpointInfo(nullptr, &r), E_POINTER);
  EXPECT_EQ(ConvertEndpointInfo(&info, nullptr), E_POINTER);
}

}  // namespace
}  // namespace halvern
