// IAudioEndpointVolume and IAudioMeterInformation of the simulated system. Without hardware volume
// the engine scales the samples by the levels set here (audio_system.cpp).
#include <algorithm>
#include <cmath>
#include <mutex>

#include "platform/simaudio/com_object.h"

namespace halvern::simaudio {

namespace {

constexpr std::int64_t kMeterHoldNs = 200'000'000;

class CSimEndpointVolume final : public TSimComObject<IAudioEndpointVolume> {
 public:
  explicit CSimEndpointVolume(EndpointPtr endpoint)
      : m_Endpoint(std::move(endpoint)), m_Generation(m_Endpoint->m_Generation.load()) {}

  // Change notifications are not simulated.
  HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
    return Locked("IAudioEndpointVolume::GetChannelCount", count, [&](CSimEndpoint& ep) {
      *count = static_cast<UINT>(ep.m_ChannelDb.size());
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(float db, LPCGUID) override {
    return Locked("IAudioEndpointVolume::SetMasterVolumeLevel", this, [&](CSimEndpoint& ep) {
      if (!InRange(ep, db)) return E_INVALIDARG;
      ep.m_MasterDb = db;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float level, LPCGUID) override {
    return Locked("IAudioEndpointVolume::SetMasterVolumeLevelScalar", this, [&](CSimEndpoint& ep) {
      if (!(level >= 0.0f && level <= 1.0f)) return E_INVALIDARG;
      ep.m_MasterDb = FromScalar(ep, level);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(float* db) override {
    return Locked("IAudioEndpointVolume::GetMasterVolumeLevel", db, [&](CSimEndpoint& ep) {
      *db = ep.m_MasterDb;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float* level) override {
    return Locked("IAudioEndpointVolume::GetMasterVolumeLevelScalar", level, [&](CSimEndpoint& ep) {
      *level = ToScalar(ep, ep.m_MasterDb);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT channel, float db, LPCGUID) override {
    return Locked("IAudioEndpointVolume::SetChannelVolumeLevel", this, [&](CSimEndpoint& ep) {
      if (channel >= ep.m_ChannelDb.size() || !InRange(ep, db)) return E_INVALIDARG;
      ep.m_ChannelDb[channel] = db;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT channel, float level,
                                                        LPCGUID) override {
    return Locked("IAudioEndpointVolume::SetChannelVolumeLevelScalar", this, [&](CSimEndpoint& ep) {
      if (channel >= ep.m_ChannelDb.size() || !(level >= 0.0f && level <= 1.0f))
        return E_INVALIDARG;
      ep.m_ChannelDb[channel] = FromScalar(ep, level);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT channel, float* db) override {
    return Locked("IAudioEndpointVolume::GetChannelVolumeLevel", db, [&](CSimEndpoint& ep) {
      if (channel >= ep.m_ChannelDb.size()) return E_INVALIDARG;
      *db = ep.m_ChannelDb[channel];
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT channel, float* level) override {
    return Locked("IAudioEndpointVolume::GetChannelVolumeLevelScalar", level,
                  [&](CSimEndpoint& ep) {
                    if (channel >= ep.m_ChannelDb.size()) return E_INVALIDARG;
                    *level = ToScalar(ep, ep.m_ChannelDb[channel]);
                    return S_OK;
                  });
  }
  HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, LPCGUID) override {
    return Locked("IAudioEndpointVolume::SetMute", this, [&](CSimEndpoint& ep) {
      const bool changed = ep.m_Muted != (mute != FALSE);
      ep.m_Muted = mute != FALSE;
      return changed ? S_OK : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) override {
    return Locked("IAudioEndpointVolume::GetMute", mute, [&](CSimEndpoint& ep) {
      *mute = ep.m_Muted ? TRUE : FALSE;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT* step, UINT* count) override {
    return Locked("IAudioEndpointVolume::GetVolumeStepInfo", this, [&](CSimEndpoint& ep) {
      if (step == nullptr || count == nullptr) return E_POINTER;
      *count = Steps(ep) + 1;
      *step =
          static_cast<UINT>(std::lround((ep.m_MasterDb - ep.m_VolumeMinDb) / ep.m_VolumeStepDb));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override {
    return Locked("IAudioEndpointVolume::VolumeStepUp", this, [&](CSimEndpoint& ep) {
      ep.m_MasterDb = std::min(ep.m_VolumeMaxDb, ep.m_MasterDb + ep.m_VolumeStepDb);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override {
    return Locked("IAudioEndpointVolume::VolumeStepDown", this, [&](CSimEndpoint& ep) {
      ep.m_MasterDb = std::max(ep.m_VolumeMinDb, ep.m_MasterDb - ep.m_VolumeStepDb);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) override {
    return Locked("IAudioEndpointVolume::QueryHardwareSupport", mask, [&](CSimEndpoint& ep) {
      // What the hardware lacks the system does in software; this meter always is software.
      // https://learn.microsoft.com/en-us/windows/win32/api/endpointvolume/nf-endpointvolume-iaudioendpointvolume-queryhardwaresupport
      *mask = ep.m_Engine.hardwareVolume
                  ? ENDPOINT_HARDWARE_SUPPORT_VOLUME | ENDPOINT_HARDWARE_SUPPORT_MUTE
                  : 0;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetVolumeRange(float* minDb, float* maxDb, float* stepDb) override {
    return Locked("IAudioEndpointVolume::GetVolumeRange", this, [&](CSimEndpoint& ep) {
      if (minDb == nullptr || maxDb == nullptr || stepDb == nullptr) return E_POINTER;
      *minDb = ep.m_VolumeMinDb;
      *maxDb = ep.m_VolumeMaxDb;
      *stepDb = ep.m_VolumeStepDb;
      return S_OK;
    });
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IAudioEndpointVolume; }
  const char* Name() const override { return "IAudioEndpointVolume"; }

  template <class Out, class Body>
  HRESULT Locked(const char* method, Out* out, Body body) {
    if (HRESULT hr = Fault(*m_Endpoint, method); hr != S_OK) return hr;
    if (out == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    if (m_Endpoint->m_Generation.load() != m_Generation) return AUDCLNT_E_DEVICE_INVALIDATED;
    const HRESULT hr = body(*m_Endpoint);
    m_Endpoint->UpdateGainsLocked();
    return hr;
  }
  static bool InRange(const CSimEndpoint& ep, float db) {
    return db >= ep.m_VolumeMinDb && db <= ep.m_VolumeMaxDb;
  }
  static UINT Steps(const CSimEndpoint& ep) {
    return static_cast<UINT>(
        std::lround((ep.m_VolumeMaxDb - ep.m_VolumeMinDb) / ep.m_VolumeStepDb));
  }
  // The scalar is linear in decibels over the range (Windows uses an undocumented taper).
  static float ToScalar(const CSimEndpoint& ep, float db) {
    return (db - ep.m_VolumeMinDb) / (ep.m_VolumeMaxDb - ep.m_VolumeMinDb);
  }
  static float FromScalar(const CSimEndpoint& ep, float level) {
    return ep.m_VolumeMinDb + level * (ep.m_VolumeMaxDb - ep.m_VolumeMinDb);
  }

  const EndpointPtr m_Endpoint;
  const std::uint32_t m_Generation;
};

class CSimMeter final : public TSimComObject<IAudioMeterInformation> {
 public:
  explicit CSimMeter(EndpointPtr endpoint)
      : m_Endpoint(std::move(endpoint)), m_Generation(m_Endpoint->m_Generation.load()) {}

  HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) override {
    if (HRESULT hr = Fault(*m_Endpoint, "IAudioMeterInformation::GetPeakValue"); hr != S_OK)
      return hr;
    if (peak == nullptr) return E_POINTER;
    float peaks[kMaxMeterChannels];
    UINT channels = 0;
    if (HRESULT hr = Read(peaks, &channels); FAILED(hr)) return hr;
    *peak = *std::max_element(peaks, peaks + channels);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* count) override {
    if (HRESULT hr = Fault(*m_Endpoint, "IAudioMeterInformation::GetMeteringChannelCount");
        hr != S_OK)
      return hr;
    if (count == nullptr) return E_POINTER;
    float peaks[kMaxMeterChannels];
    return Read(peaks, count);
  }
  HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 count, float* values) override {
    if (HRESULT hr = Fault(*m_Endpoint, "IAudioMeterInformation::GetChannelsPeakValues");
        hr != S_OK)
      return hr;
    if (values == nullptr) return E_POINTER;
    float peaks[kMaxMeterChannels];
    UINT channels = 0;
    if (HRESULT hr = Read(peaks, &channels); FAILED(hr)) return hr;
    if (count != channels) return E_INVALIDARG;
    std::copy(peaks, peaks + channels, values);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) override {
    if (HRESULT hr = Fault(*m_Endpoint, "IAudioMeterInformation::QueryHardwareSupport"); hr != S_OK)
      return hr;
    if (mask == nullptr) return E_POINTER;
    *mask = 0;
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IAudioMeterInformation; }
  const char* Name() const override { return "IAudioMeterInformation"; }

  // The peaks of the last period, or silence once no stream has run for a while (generous, so a
  // late engine thread on a busy machine does not read as silence).
  HRESULT Read(float* peaks, UINT* channels) {
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    {
      std::lock_guard<std::mutex> lock(sys.Mutex());
      if (m_Endpoint->m_Generation.load() != m_Generation) return AUDCLNT_E_DEVICE_INVALIDATED;
      *channels = std::min<UINT>(m_Endpoint->m_MixFormat.Format.nChannels, kMaxMeterChannels);
    }
    const std::int64_t taken = m_Endpoint->m_PeaksRealNs.load(std::memory_order_acquire);
    const bool fresh = taken != 0 && sys.NowNs() - taken <= kMeterHoldNs;
    for (UINT c = 0; c < *channels; ++c)
      peaks[c] = fresh ? m_Endpoint->m_Peaks[c].load(std::memory_order_relaxed) : 0.0f;
    return S_OK;
  }

  const EndpointPtr m_Endpoint;
  const std::uint32_t m_Generation;
};

}  // namespace

IAudioEndpointVolume* NewEndpointVolume(EndpointPtr endpoint) {
  return new CSimEndpointVolume(std::move(endpoint));
}

IAudioMeterInformation* NewMeter(EndpointPtr endpoint) {
  return new CSimMeter(std::move(endpoint));
}

}  // namespace halvern::simaudio
