// One endpoint of the multimedia device API, selected by id: its description, meter, channel
// volume, visibility and default role; and the enumeration of endpoints by data flow.
#pragma once

#include "base/zub_thread_mutex.h"
#include "devices/endpoint_info.h"
#include "platform/policy_config.h"
#include "platform/scoped_resources.h"
#include "platform/win32.h"

namespace halvern {

class CDeviceManager {
 public:
  // The enumerator is borrowed: the creator keeps it alive longer than this object.
  explicit CDeviceManager(IMMDeviceEnumerator* enumerator);
  ~CDeviceManager();
  CDeviceManager(const CDeviceManager&) = delete;
  CDeviceManager& operator=(const CDeviceManager&) = delete;

  // Releases the previous selection first; on failure keeps what was obtained until then.
  HRESULT SelectDevice(const WCHAR* id);

  // Need no selection and take no lock.
  static HRESULT GetEndpointInfo(IMMDevice* device, EndpointInfo* out);
  // Bit 0 of stateFlags adds disabled endpoints, bit 1 unplugged ones (never those not present).
  // Defaults only: the console and then the communications default, replacing entries; otherwise
  // every endpoint of the flow whose id is not in the map yet.
  static HRESULT EnumerateEndpoints(EndpointMap* map, bool capture, bool defaultsOnly,
                                    UINT32 stateFlags);
  // The first endpoint in id order whose adapter name contains `name` (case-sensitive), among
  // active, disabled and unplugged ones.
  static HRESULT FindDeviceByName(bool capture, const WCHAR* name, EndpointInfo* out);

  void DumpDeviceInfo();

  // These three succeed without doing anything when nothing is selected.
  HRESULT GetMeterPeaks(float peaks[2]);  // linear, 0..1
  HRESULT GetChannelVolumeDb(UINT32 channel, float* levelDb);
  // Clamps to the endpoint's volume range.
  HRESULT SetChannelVolumeDb(UINT32 channel, float levelDb);

  HRESULT CreatePolicyConfig();
  HRESULT SetDefaultEndpoint(UINT32 role);
  HRESULT SetVisible(bool visible);
  // Makes `format` the endpoint's own format (as both device and mix format); no log line.
  HRESULT SetDeviceFormat(WAVEFORMATEX* format);

  // Members the endpoint reads; hold Mutex() while using them.
  CZubThreadMutex& Mutex() { return m_Mutex; }
  IMMDevice* Device() const { return m_Device.Get(); }
  const WAVEFORMATEX* DeviceFormat() const { return m_DeviceFormat.Get(); }
  const WCHAR* DeviceId() const { return m_DeviceId.Get(); }

 private:
  void ReleaseSelection();
  HRESULT ActivateVolume(platform::TComPtr<IAudioEndpointVolume>* volume);

  IMMDeviceEnumerator* const m_Enumerator;
  platform::TComPtr<IMMDevice> m_Device;
  platform::TComPtr<IPolicyConfig> m_PolicyConfig;
  platform::TCoTaskMem<WAVEFORMATEX> m_DeviceFormat;
  platform::CCoTaskMemString m_DeviceId;
  CZubThreadMutex m_Mutex;
};

}  // namespace halvern
