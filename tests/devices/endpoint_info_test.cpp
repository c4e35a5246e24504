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

// The device format is copied as far as its blob goes: a plain WAVEFORMATEX leaves the extensible
// rest zero, an empty blob nothing.
TEST_F(EndpointInfoTest, DeviceFormatTakesWhatItsBlobHolds) {
  const struct {
    ULONG blobSize;
    WORD channels;
    DWORD channelMask;
  } cases[] = {{40, 2, 3}, {18, 2, 0}, {0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.blobSize);
    CStubDevice device;
    device.blobSize = c.blobSize;
    EndpointInfo info;
    std::memset(&info, 0xCC, sizeof(info));
    EXPECT_EQ(CDeviceManager::GetEndpointInfo(&device, &info), S_OK);
    EXPECT_EQ(Text(info.id) + "/" + Text(info.interfaceName) + "/" + Text(info.friendlyName),
              "stub/st/st");
    EXPECT_EQ(info.formFactor, Headphones);
    EXPECT_EQ(info.deviceFormat.Format.nChannels, c.channels);
    EXPECT_EQ(info.deviceFormat.dwChannelMask, c.channelMask);
  }
  EXPECT_EQ(Errors(), 0);
}

// Each of the five reads failing, and an id longer than the field: the code comes back, logged
// once.
TEST_F(EndpointInfoTest, AFailedReadOrAnOverlongIdIsReturnedAndLogged) {
  EndpointInfo info;
  for (int read = 0; read < 5; ++read) {
    SCOPED_TRACE(read);
    CStubDevice device;
    device.failingRead = read;
    m_Debug.Clear();
    EXPECT_EQ(CDeviceManager::GetEndpointInfo(&device, &info), kReadFault);
    EXPECT_EQ(Count("IPropertyStore::GetValue failed: 80070015"), 1);
    EXPECT_EQ(Errors(), 1);
  }
  CStubDevice device;
  device.id.assign(256, u'x');
  m_Debug.Clear();
  EXPECT_EQ(CDeviceManager::GetEndpointInfo(&device, &info), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform::Utf16Length(info.id), 255u);
  EXPECT_EQ(Count("StringCchCopy failed (8007007a)"), 1);
  EXPECT_EQ(CDeviceManager::GetEndpointInfo(nullptr, nullptr), E_POINTER);
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
