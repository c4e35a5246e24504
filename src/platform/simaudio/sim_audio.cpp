// The control API (sim_audio.h) and the class factory behind CoCreateInstance.
#include "platform/simaudio/sim_audio.h"

#include <mutex>

#include "platform/policy_config.h"
#include "platform/simaudio/com_object.h"

namespace halvern::simaudio {

namespace {

template <class Body>
HRESULT OnEndpoint(std::u16string_view id, Body body) {
  CSimAudioSystem& sys = CSimAudioSystem::Get();
  std::lock_guard<std::mutex> lock(sys.Mutex());
  EndpointPtr ep = sys.FindLocked(id);
  if (!ep) return E_NOTFOUND;
  return body(sys, ep);
}

// The endpoint's streaming state has its own lock: look it up under the system lock, then leave it.
template <class Body>
HRESULT OnEndpointIo(std::u16string_view id, Body body) {
  EndpointPtr ep;
  {
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    std::lock_guard<std::mutex> lock(sys.Mutex());
    ep = sys.FindLocked(id);
  }
  if (!ep) return E_NOTFOUND;
  std::lock_guard<std::mutex> io(ep->m_IoMutex);
  body(*ep);
  return S_OK;
}

void PostPropertyLocked(CSimAudioSystem& sys, const CSimEndpoint& ep, const PROPERTYKEY& key) {
  Notification n{Notification::kProperty};
  n.id = ep.m_Id;
  n.key = key;
  sys.PostLocked(std::move(n));
}

HRESULT Create(IUnknown* object, REFIID riid, void** ppv) {
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT CreateDeviceEnumerator(REFIID riid, void** ppv) {
  HRESULT hr = CSimAudioSystem::Get().Fault(u"", "CoCreateInstance(MMDeviceEnumerator)");
  return hr != S_OK ? hr : Create(NewDeviceEnumerator(), riid, ppv);
}

HRESULT CreatePolicyConfig(REFIID riid, void** ppv) {
  HRESULT hr = CSimAudioSystem::Get().Fault(u"", "CoCreateInstance(PolicyConfig)");
  return hr != S_OK ? hr : Create(NewPolicyConfig(), riid, ppv);
}

}  // namespace

void RegisterComClasses() {
  platform::RegisterComClass(CLSID_MMDeviceEnumerator, CreateDeviceEnumerator);
  platform::RegisterComClass(CLSID_CPolicyConfigClient, CreatePolicyConfig);
}

HRESULT AddEndpoint(const EndpointDesc& desc) { return CSimAudioSystem::Get().Add(desc); }

HRESULT RemoveEndpoint(std::u16string_view id) { return CSimAudioSystem::Get().Remove(id); }

HRESULT SetEndpointState(std::u16string_view id, DWORD state) {
  if (state != DEVICE_STATE_ACTIVE && state != DEVICE_STATE_DISABLED &&
      state != DEVICE_STATE_UNPLUGGED && state != DEVICE_STATE_NOTPRESENT)
    return E_INVALIDARG;
  return OnEndpoint(id, [&](CSimAudioSystem& sys, const EndpointPtr& ep) {
    if (state == DEVICE_STATE_DISABLED)
      sys.ChangeStateLocked(ep, ep->m_PresentState, false);
    else
      sys.ChangeStateLocked(ep, state, true);
    return S_OK;
  });
}

HRESULT SetDefaultEndpoint(EDataFlow flow, ERole role, std::u16string_view id) {
  if ((flow != eRender && flow != eCapture) ||
      (role != eConsole && role != eMultimedia && role != eCommunications))
    return E_INVALIDARG;
  CSimAudioSystem& sys = CSimAudioSystem::Get();
  std::lock_guard<std::mutex> lock(sys.Mutex());
  if (!id.empty()) {
    EndpointPtr ep = sys.FindLocked(id);
    if (!ep) return E_NOTFOUND;
    if (ep->m_Flow != flow) return E_INVALIDARG;
  }
  sys.SetDefaultLocked(flow, role, id);
  return S_OK;
}

std::u16string GetDefaultEndpoint(EDataFlow flow, ERole role) {
  if ((flow != eRender && flow != eCapture) || role < eConsole || role > eCommunications) return {};
  CSimAudioSystem& sys = CSimAudioSystem::Get();
  std::lock_guard<std::mutex> lock(sys.Mutex());
  return sys.DefaultLocked(flow, role);
}

HRESULT SetEndpointNames(std::u16string_view id, std::u16string_view interfaceName,
                         std::u16string_view friendlyName, std::u16string_view description) {
  return OnEndpoint(id, [&](CSimAudioSystem& sys, const EndpointPtr& ep) {
    struct {
      std::u16string* field;
      std::u16string_view value;
      const PROPERTYKEY& key;
    } changes[] = {{&ep->m_InterfaceName, interfaceName, PKEY_DeviceInterface_FriendlyName},
                   {&ep->m_FriendlyName, friendlyName, PKEY_Device_FriendlyName},
                   {&ep->m_Description, description, PKEY_Device_DeviceDesc}};
    for (auto& c : changes) {
      if (*c.field == c.value) continue;
      *c.field = std::u16string(c.value);
      PostPropertyLocked(sys, *ep, c.key);
    }
    return S_OK;
  });
}

HRESULT SetDeviceFormat(std::u16string_view id, const WAVEFORMATEXTENSIBLE& format) {
  if (!IsValidFormat(format.Format)) return E_INVALIDARG;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    ChangeFormatLocked(*ep, format, ep->m_MixFormat);
    return S_OK;
  });
}

HRESULT SetMixFormat(std::u16string_view id, const WAVEFORMATEXTENSIBLE& format) {
  if (!IsValidFormat(format.Format)) return E_INVALIDARG;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    ChangeFormatLocked(*ep, ep->m_DeviceFormat, format);
    return S_OK;
  });
}

HRESULT SetClockSkew(std::u16string_view id, double ppm) {
  if (!(ppm > -500000.0 && ppm < 500000.0)) return E_INVALIDARG;
  return OnEndpoint(id, [&](CSimAudioSystem& sys, const EndpointPtr& ep) {
    // Re-anchor so that device time stays continuous across the change.
    const std::int64_t now = sys.NowNs();
    ep->m_AnchorDeviceNs = ep->DeviceNsAt(now);
    ep->m_AnchorRealNs = now;
    ep->m_SkewPpm = ppm;
    return S_OK;
  });
}

HRESULT SetCaptureSource(std::u16string_view id, CaptureSource source) {
  return OnEndpointIo(id, [&](CSimEndpoint& ep) { ep.m_Source = std::move(source); });
}

HRESULT SetRenderSink(std::u16string_view id, RenderSink sink) {
  return OnEndpointIo(id, [&](CSimEndpoint& ep) { ep.m_Sink = std::move(sink); });
}

HRESULT SetExclusiveModeAnswer(std::u16string_view id, std::optional<HRESULT> answer) {
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    ep->m_ExclusiveAnswer = answer;
    return S_OK;
  });
}

HRESULT SetExclusiveBufferAlignment(std::u16string_view id, UINT32 frames) {
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    ep->m_ExclusiveAlignment = frames;
    return S_OK;
  });
}

HRESULT SetEngineBehaviour(std::u16string_view id, const EngineBehaviour& behaviour) {
  if (behaviour.sharedBufferMinimum < 0 || behaviour.sharedBufferExtra < 0) return E_INVALIDARG;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    ep->m_Engine = behaviour;
    return S_OK;
  });
}

HRESULT InvalidateStreams(std::u16string_view id, HRESULT reason) {
  if (reason != AUDCLNT_E_SERVICE_NOT_RUNNING && reason != AUDCLNT_E_DEVICE_IN_USE &&
      reason != AUDCLNT_E_DEVICE_INVALIDATED)
    return E_INVALIDARG;
  CSimAudioSystem& sys = CSimAudioSystem::Get();
  std::lock_guard<std::mutex> lock(sys.Mutex());
  std::vector<EndpointPtr> endpoints = sys.EndpointsLocked();
  if (id != u"*") {
    EndpointPtr ep = sys.FindLocked(id);
    if (!ep) return E_NOTFOUND;
    endpoints.assign(1, ep);
  }
  for (const EndpointPtr& ep : endpoints) {
    std::lock_guard<std::mutex> streams(ep->m_StreamsMutex);
    for (CSimStream* stream : ep->m_Streams) stream->Break(reason);
  }
  return S_OK;
}

HRESULT GetCounters(std::u16string_view id, EndpointCounters* counters) {
  if (counters == nullptr) return E_POINTER;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    counters->periods = ep->m_Periods.load();
    counters->framesRendered = ep->m_FramesRendered.load();
    counters->framesCaptured = ep->m_FramesCaptured.load();
    counters->underruns = ep->m_Underruns.load();
    counters->overflows = ep->m_Overflows.load();
    counters->streams = ep->m_SharedStreams + ep->m_ExclusiveStreams;
    return S_OK;
  });
}

HRESULT GetVolume(std::u16string_view id, VolumeState* volume) {
  if (volume == nullptr) return E_POINTER;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    volume->masterDb = ep->m_MasterDb;
    volume->channelDb = ep->m_ChannelDb;
    volume->muted = ep->m_Muted;
    return S_OK;
  });
}

HRESULT GetState(std::u16string_view id, DWORD* state) {
  if (state == nullptr) return E_POINTER;
  return OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    *state = ep->State();
    return S_OK;
  });
}

bool IsVisible(std::u16string_view id) {
  bool visible = false;
  OnEndpoint(id, [&](CSimAudioSystem&, const EndpointPtr& ep) {
    visible = ep->m_Visible;
    return S_OK;
  });
  return visible;
}

HRESULT InjectFault(std::u16string_view id, std::string_view method, HRESULT hr, int count,
                    DWORD thread) {
  return CSimAudioSystem::Get().InjectFault(id, method, hr, count, thread);
}

int FaultsFired(std::u16string_view id, std::string_view method) {
  return CSimAudioSystem::Get().FaultsFired(id, method);
}

void ClearFaults() { CSimAudioSystem::Get().ClearFaults(); }

void SetPolicyConfigInterfaces(unsigned mask) {
  CSimAudioSystem::Get().m_PolicyInterfaces.store(mask);
}

void RaiseNotification(const Notification& notification) {
  CSimAudioSystem::Get().Post(notification);
}

void SetStrictMode(bool on) { CSimAudioSystem::Get().m_Strict.store(on); }

std::vector<std::string> CallbackBreaches() { return CSimAudioSystem::Get().Breaches(); }

bool WaitForNotifications(DWORD milliseconds) {
  return CSimAudioSystem::Get().WaitForNotifications(milliseconds);
}

size_t RegisteredNotificationClients() { return CSimAudioSystem::Get().RegisteredClients(); }

void Reset() { CSimAudioSystem::Get().ResetAll(); }

}  // namespace halvern::simaudio
