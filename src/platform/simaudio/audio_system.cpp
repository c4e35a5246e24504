#include "platform/simaudio/audio_system.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/posix/kernel_object.h"
#include "platform/simaudio/sim_audio.h"

namespace halvern::simaudio {

namespace {

bool IsSubFormat(const WAVEFORMATEX& format, const GUID& sub) {
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < 22) return false;
  return reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat == sub;
}

bool IsPcmFormat(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_PCM || IsSubFormat(format, KSDATAFORMAT_SUBTYPE_PCM);
}

}  // namespace

size_t FormatBytes(const WAVEFORMATEX& format) {
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return sizeof(WAVEFORMATEXTENSIBLE);
  return sizeof(WAVEFORMATEX);
}

WAVEFORMATEX* CopyFormatToTaskMem(const WAVEFORMATEXTENSIBLE& format) {
  const size_t bytes = FormatBytes(format.Format);
  auto* copy = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, &format, bytes);
  return copy;
}

bool IsFloatFormat(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
         IsSubFormat(format, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

bool IsValidFormat(const WAVEFORMATEX& format) {
  const bool pcm = IsPcmFormat(format);
  const bool flt = IsFloatFormat(format);
  if (!pcm && !flt) return false;
  if (format.nChannels == 0 || format.nChannels > kMaxMeterChannels) return false;
  if (format.nSamplesPerSec < 1000 || format.nSamplesPerSec > 384000) return false;
  if (pcm && format.wBitsPerSample != 8 && format.wBitsPerSample != 16 &&
      format.wBitsPerSample != 24 && format.wBitsPerSample != 32)
    return false;
  if (flt && format.wBitsPerSample != 32) return false;
  if (format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) return false;
  if (format.nAvgBytesPerSec != format.nSamplesPerSec * format.nBlockAlign) return false;
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    if (ext.Samples.wValidBitsPerSample > format.wBitsPerSample) return false;
  }
  return true;
}

void MeasurePeaks(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format, float* peaks) {
  const int channels = std::min<int>(format.nChannels, kMaxMeterChannels);
  for (int c = 0; c < kMaxMeterChannels; ++c) peaks[c] = 0.0f;
  const int bytes = format.wBitsPerSample / 8;
  const bool flt = IsFloatFormat(format);
  for (UINT32 f = 0; f < frames; ++f) {
    const BYTE* frame = data + static_cast<size_t>(f) * format.nBlockAlign;
    for (int c = 0; c < channels; ++c) {
      const BYTE* s = frame + static_cast<size_t>(c) * bytes;
      double v = 0.0;
      if (flt) {
        float x;
        std::memcpy(&x, s, 4);
        v = x;
      } else if (bytes == 1) {
        v = (s[0] - 128) / 128.0;
      } else if (bytes == 2) {
        std::int16_t x;
        std::memcpy(&x, s, 2);
        v = x / 32768.0;
      } else if (bytes == 3) {
        const std::int32_t x = static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) << 8 |
                                                         static_cast<std::uint32_t>(s[1]) << 16 |
                                                         static_cast<std::uint32_t>(s[2]) << 24);
        v = x / 2147483648.0;
      } else if (bytes == 4) {
        std::int32_t x;
        std::memcpy(&x, s, 4);
        v = x / 2147483648.0;
      }
      const float a = static_cast<float>(std::min(1.0, std::fabs(v)));
      if (a > peaks[c]) peaks[c] = a;
    }
  }
}

WAVEFORMATEXTENSIBLE MakePcmFormat(DWORD sampleRate, WORD channels, WORD bits) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = sampleRate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = sampleRate * f.Format.nBlockAlign;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = bits;
  switch (channels) {
    case 1:
      f.dwChannelMask = KSAUDIO_SPEAKER_MONO;
      break;
    case 2:
      f.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
      break;
    case 4:
      f.dwChannelMask = KSAUDIO_SPEAKER_STEREO | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
      break;
    case 6:
      f.dwChannelMask = KSAUDIO_SPEAKER_STEREO | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
                        SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
      break;
    case 8:
      f.dwChannelMask = KSAUDIO_SPEAKER_STEREO | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
                        SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT | SPEAKER_SIDE_LEFT |
                        SPEAKER_SIDE_RIGHT;
      break;
    default:
      f.dwChannelMask = 0;
  }
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

WAVEFORMATEXTENSIBLE MakeFloatFormat(DWORD sampleRate, WORD channels) {
  WAVEFORMATEXTENSIBLE f = MakePcmFormat(sampleRate, channels, 32);
  f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  return f;
}

// ---------------------------------------------------------------------------------------------

CSimEndpoint::CSimEndpoint(const EndpointDesc& desc, std::uint64_t order)
    : m_Id(desc.id),
      m_Flow(desc.flow),
      m_Order(order),
      m_PresentState(desc.state == DEVICE_STATE_DISABLED ? DEVICE_STATE_ACTIVE : desc.state),
      m_Visible(desc.state != DEVICE_STATE_DISABLED),
      m_InterfaceName(desc.interfaceName),
      m_FriendlyName(desc.friendlyName),
      m_Description(desc.description),
      m_FormFactor(desc.formFactor),
      m_DeviceFormat(desc.deviceFormat),
      m_DefaultDeviceFormat(desc.deviceFormat),
      m_MixFormat(desc.mixFormat),
      m_DefaultPeriod(desc.defaultPeriod),
      m_MinimumPeriod(desc.minimumPeriod),
      m_VolumeMinDb(desc.volumeMinDb),
      m_VolumeMaxDb(desc.volumeMaxDb),
      m_VolumeStepDb(desc.volumeStepDb),
      m_MasterDb(desc.volumeMaxDb),
      m_SkewPpm(desc.clockSkewPpm),
      m_AnchorRealNs(0),
      m_AnchorDeviceNs(0.0) {
  if (m_MixFormat.Format.wFormatTag == 0)
    m_MixFormat =
        MakeFloatFormat(m_DeviceFormat.Format.nSamplesPerSec, m_DeviceFormat.Format.nChannels);
  m_ChannelDb.assign(m_DeviceFormat.Format.nChannels, desc.volumeMaxDb);
  for (auto& p : m_Peaks) p.store(0.0f);
}

DWORD CSimEndpoint::State() const {
  if (m_Removed) return DEVICE_STATE_NOTPRESENT;
  if (!m_Visible && m_PresentState != DEVICE_STATE_NOTPRESENT) return DEVICE_STATE_DISABLED;
  return m_PresentState;
}

double CSimEndpoint::DeviceNsAt(std::int64_t realNs) const {
  return m_AnchorDeviceNs + static_cast<double>(realNs - m_AnchorRealNs) * (1.0 + m_SkewPpm * 1e-6);
}

std::int64_t CSimEndpoint::RealNsAt(double deviceNs) const {
  return m_AnchorRealNs + static_cast<std::int64_t>(
                              std::ceil((deviceNs - m_AnchorDeviceNs) / (1.0 + m_SkewPpm * 1e-6)));
}

// ---------------------------------------------------------------------------------------------

CSimStream::CSimStream(EndpointPtr endpoint)
    : m_Endpoint(std::move(endpoint)),
      m_Generation(m_Endpoint->m_Generation.load(std::memory_order_acquire)) {}

CSimStream::~CSimStream() {
  if (m_Event != nullptr) platform::FromHandle(m_Event)->Drop();
}

UINT32 CSimStream::FramesOfTick(std::uint64_t tick) const {
  // Periods that are not a whole number of frames alternate so that no frame is lost.
  return static_cast<UINT32>((tick + 1) * m_PeriodScaled / kHnsPerSecond -
                             tick * m_PeriodScaled / kHnsPerSecond);
}

UINT32 CSimStream::QueuedCaptureFrames() const {
  UINT32 frames = 0;
  for (size_t i = 0; i < m_Count; ++i) frames += m_Packets[(m_Head + i) % m_Packets.size()].frames;
  return frames;
}

void CSimStream::Flush() {
  m_RingRead = 0;
  m_Padding = 0;
  m_Head = 0;
  m_Count = 0;
  m_Discontinuity = false;
  m_Tick = 0;
  m_Position = 0;
}

bool CSimStream::ProcessPeriod(std::int64_t realNs) {
  if (!m_Started || Invalidated()) return false;
  CSimEndpoint& ep = *m_Endpoint;
  const WAVEFORMATEX& fmt = m_Format.Format;
  const UINT32 frames = FramesOfTick(m_Tick);
  float peaks[kMaxMeterChannels];
  if (IsRender()) {
    const UINT32 take = std::min(frames, m_Padding);
    const size_t ringFrames = m_BufferFrames;
    for (UINT32 done = 0; done < take;) {
      const UINT32 run =
          std::min<UINT32>(take - done, static_cast<UINT32>(ringFrames - m_RingRead));
      std::memcpy(m_Scratch.data() + static_cast<size_t>(done) * m_BlockAlign,
                  m_Ring.data() + static_cast<size_t>(m_RingRead) * m_BlockAlign,
                  static_cast<size_t>(run) * m_BlockAlign);
      m_RingRead = static_cast<UINT32>((m_RingRead + run) % ringFrames);
      done += run;
    }
    m_Padding -= take;
    if (take < frames) {
      std::memset(m_Scratch.data() + static_cast<size_t>(take) * m_BlockAlign,
                  IsFloatFormat(fmt) || fmt.wBitsPerSample != 8 ? 0 : 0x80,
                  static_cast<size_t>(frames - take) * m_BlockAlign);
      ep.m_Underruns.fetch_add(1, std::memory_order_relaxed);
    }
    {
      std::lock_guard<std::mutex> io(ep.m_IoMutex);
      if (ep.m_Sink) ep.m_Sink(m_Scratch.data(), frames, fmt, m_Position);
    }
    MeasurePeaks(m_Scratch.data(), frames, fmt, peaks);
    ep.m_FramesRendered.fetch_add(frames, std::memory_order_relaxed);
  } else {
    if (m_Count == m_Packets.size()) {
      // The client did not keep up: the engine drops the period and marks the next packet.
      m_Discontinuity = true;
      ep.m_Overflows.fetch_add(1, std::memory_order_relaxed);
      for (auto& p : peaks) p = 0.0f;
    } else {
      const size_t slot = (m_Head + m_Count) % m_Packets.size();
      BYTE* data = m_Slots.data() + slot * static_cast<size_t>(m_SlotFrames) * m_BlockAlign;
      DWORD flags = m_Discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
      {
        std::lock_guard<std::mutex> io(ep.m_IoMutex);
        if (ep.m_Source) {
          ep.m_Source(data, frames, fmt, m_Position);
        } else {
          std::memset(data, fmt.wBitsPerSample == 8 && !IsFloatFormat(fmt) ? 0x80 : 0,
                      static_cast<size_t>(frames) * m_BlockAlign);
          flags |= AUDCLNT_BUFFERFLAGS_SILENT;
        }
      }
      m_Packets[slot] = {frames, flags, m_Position, static_cast<UINT64>(realNs / 100)};
      ++m_Count;
      m_Discontinuity = false;
      MeasurePeaks(data, frames, fmt, peaks);
      ep.m_FramesCaptured.fetch_add(frames, std::memory_order_relaxed);
    }
  }
  for (int c = 0; c < kMaxMeterChannels; ++c)
    ep.m_Peaks[c].store(peaks[c], std::memory_order_relaxed);
  ep.m_PeaksRealNs.store(realNs, std::memory_order_release);
  ep.m_Periods.fetch_add(1, std::memory_order_relaxed);
  m_Position += frames;
  ++m_Tick;
  if (m_Event != nullptr) SetEvent(m_Event);
  return true;
}

// ---------------------------------------------------------------------------------------------

CSimAudioSystem& CSimAudioSystem::Get() {
  // Never destroyed: its threads run until the process ends.
  static CSimAudioSystem* system = [] {
    auto* created = new CSimAudioSystem;
    RegisterComClasses();
    return created;
  }();
  return *system;
}

CSimAudioSystem::CSimAudioSystem() {
  m_Engine = std::thread([this] { EngineLoop(); });
  m_Notifier = std::thread([this] { NotificationLoop(); });
}

std::int64_t CSimAudioSystem::NowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

EndpointPtr CSimAudioSystem::FindLocked(std::u16string_view id) const {
  for (const auto& ep : m_Endpoints)
    if (ep->m_Id == id) return ep;
  return nullptr;
}

std::vector<EndpointPtr> CSimAudioSystem::EndpointsLocked() const { return m_Endpoints; }

void CSimAudioSystem::SetDefaultLocked(EDataFlow flow, ERole role, std::u16string_view id) {
  std::u16string& current = DefaultLocked(flow, role);
  if (current == id) return;
  current = std::u16string(id);
  Notification n{Notification::kDefault};
  n.id = current;
  n.nullId = current.empty();
  n.flow = flow;
  n.role = role;
  PostLocked(std::move(n));
}

// When a default endpoint stops being active, Windows moves each of its roles to another active
// endpoint of the flow (here: the earliest added), or leaves the role without a default.
void CSimAudioSystem::ReelectDefaultsLocked(const EndpointPtr& endpoint) {
  for (int role = 0; role < 3; ++role) {
    if (DefaultLocked(endpoint->m_Flow, static_cast<ERole>(role)) != endpoint->m_Id) continue;
    std::u16string next;
    for (const auto& ep : m_Endpoints)
      if (ep != endpoint && ep->m_Flow == endpoint->m_Flow && ep->State() == DEVICE_STATE_ACTIVE) {
        next = ep->m_Id;
        break;
      }
    SetDefaultLocked(endpoint->m_Flow, static_cast<ERole>(role), next);
  }
}

// An endpoint that becomes active takes every role of its flow that has no default.
void CSimAudioSystem::FillDefaultsLocked(const EndpointPtr& endpoint) {
  if (endpoint->State() != DEVICE_STATE_ACTIVE) return;
  for (int role = 0; role < 3; ++role)
    if (DefaultLocked(endpoint->m_Flow, static_cast<ERole>(role)).empty())
      SetDefaultLocked(endpoint->m_Flow, static_cast<ERole>(role), endpoint->m_Id);
}

void CSimAudioSystem::ChangeStateLocked(const EndpointPtr& endpoint, DWORD presentState,
                                        bool visible) {
  const DWORD before = endpoint->State();
  endpoint->m_PresentState = presentState;
  endpoint->m_Visible = visible;
  const DWORD after = endpoint->State();
  if (before == after) return;
  if (before == DEVICE_STATE_ACTIVE) endpoint->m_Generation.fetch_add(1, std::memory_order_acq_rel);
  Notification n{Notification::kState};
  n.id = endpoint->m_Id;
  n.state = after;
  PostLocked(std::move(n));
  if (before == DEVICE_STATE_ACTIVE) ReelectDefaultsLocked(endpoint);
  if (after == DEVICE_STATE_ACTIVE) FillDefaultsLocked(endpoint);
}

HRESULT CSimAudioSystem::Add(const EndpointDesc& desc) {
  if (desc.id.empty() || (desc.flow != eRender && desc.flow != eCapture)) return E_INVALIDARG;
  if (!IsValidFormat(desc.deviceFormat.Format)) return E_INVALIDARG;
  if (desc.mixFormat.Format.wFormatTag != 0 && !IsValidFormat(desc.mixFormat.Format))
    return E_INVALIDARG;
  if (desc.state != DEVICE_STATE_ACTIVE && desc.state != DEVICE_STATE_DISABLED &&
      desc.state != DEVICE_STATE_UNPLUGGED && desc.state != DEVICE_STATE_NOTPRESENT)
    return E_INVALIDARG;
  if (desc.defaultPeriod <= 0 || desc.minimumPeriod <= 0 || desc.minimumPeriod > desc.defaultPeriod)
    return E_INVALIDARG;
  if (!(desc.volumeMinDb < desc.volumeMaxDb) || !(desc.volumeStepDb > 0.0f)) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (FindLocked(desc.id)) return E_INVALIDARG;
  auto ep = std::make_shared<CSimEndpoint>(desc, m_NextOrder++);
  ep->m_AnchorRealNs = NowNs();
  m_Endpoints.push_back(ep);
  Notification n{Notification::kAdded};
  n.id = ep->m_Id;
  PostLocked(std::move(n));
  FillDefaultsLocked(ep);
  return S_OK;
}

HRESULT CSimAudioSystem::Remove(std::u16string_view id) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  EndpointPtr ep = FindLocked(id);
  if (!ep) return E_NOTFOUND;
  const bool wasActive = ep->State() == DEVICE_STATE_ACTIVE;
  ep->m_Removed = true;
  ep->m_Generation.fetch_add(1, std::memory_order_acq_rel);
  m_Endpoints.erase(std::find(m_Endpoints.begin(), m_Endpoints.end(), ep));
  Notification n{Notification::kRemoved};
  n.id = ep->m_Id;
  PostLocked(std::move(n));
  if (wasActive) ReelectDefaultsLocked(ep);
  // A removed endpoint that was the default of a role it no longer serves leaves no id behind.
  for (int role = 0; role < 3; ++role)
    if (DefaultLocked(ep->m_Flow, static_cast<ERole>(role)) == ep->m_Id)
      SetDefaultLocked(ep->m_Flow, static_cast<ERole>(role), u"");
  return S_OK;
}

void CSimAudioSystem::ResetAll() {
  std::vector<IMMNotificationClient*> clients;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& ep : m_Endpoints) {
      ep->m_Removed = true;
      ep->m_Generation.fetch_add(1, std::memory_order_acq_rel);
    }
    m_Endpoints.clear();
    for (auto& flow : m_Defaults)
      for (auto& id : flow) id.clear();
    m_Started.clear();
    std::lock_guard<std::mutex> notify(m_NotifyMutex);
    m_Delivered += m_Queue.size();
    m_Queue.clear();
    clients.swap(m_Clients);
    m_NotifyChanged.notify_all();
  }
  WaitForNotifications(10000);
  for (IMMNotificationClient* c : clients) c->Release();
  ClearFaults();
  m_PolicyInterfaces.store(kPolicyConfig | kPolicyConfigWindows10 | kPolicyConfigWindows10_1);
}

void ChangeFormatLocked(CSimEndpoint& ep, const WAVEFORMATEXTENSIBLE& device,
                        const WAVEFORMATEXTENSIBLE& mix) {
  ep.m_DeviceFormat = device;
  ep.m_MixFormat = mix;
  ep.m_ChannelDb.resize(device.Format.nChannels, ep.m_VolumeMaxDb);
  ep.m_Generation.fetch_add(1, std::memory_order_acq_rel);
  CSimAudioSystem::Notification n{CSimAudioSystem::Notification::kProperty};
  n.id = ep.m_Id;
  n.key = PKEY_AudioEngine_DeviceFormat;
  CSimAudioSystem::Get().PostLocked(std::move(n));
}

// ---------------------------------------------------------------------------------------------
// Engine

HRESULT CSimAudioSystem::StartStream(const StreamPtr& stream) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  std::lock_guard<std::mutex> slock(stream->m_Mutex);
  if (!stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (stream->Invalidated()) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (stream->m_Started) return AUDCLNT_E_NOT_STOPPED;
  if (stream->m_EventDriven && stream->m_Event == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
  const CSimEndpoint& ep = *stream->m_Endpoint;
  // The first period ends one period after the start.
  stream->m_NextTickDeviceNs = ep.DeviceNsAt(NowNs()) + stream->m_PeriodNs;
  stream->m_Started = true;
  m_Started.push_back(stream);
  m_EngineWake.notify_all();
  return S_OK;
}

void CSimAudioSystem::StopStream(const StreamPtr& stream) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  {
    std::lock_guard<std::mutex> slock(stream->m_Mutex);
    stream->m_Started = false;
  }
  m_Started.erase(std::remove(m_Started.begin(), m_Started.end(), stream), m_Started.end());
}

void CSimAudioSystem::EngineLoop() {
  struct Due {
    StreamPtr stream;
    int periods;
    std::int64_t realNs;
  };
  std::vector<Due> due;
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    const std::int64_t now = NowNs();
    std::int64_t wake = now + 1000000000;  // nothing started: look again in a second
    due.clear();
    for (const StreamPtr& s : m_Started) {
      // m_NextTickDeviceNs and the period only change under the system mutex as well.
      const CSimEndpoint& ep = *s->m_Endpoint;
      const double deviceNow = ep.DeviceNsAt(now);
      const double period = s->m_PeriodNs;
      int periods = 0;
      while (s->m_NextTickDeviceNs <= deviceNow && periods < 1000) {
        s->m_NextTickDeviceNs += period;
        ++periods;
      }
      if (periods > 0) due.push_back({s, periods, now});
      wake = std::min(wake, ep.RealNsAt(s->m_NextTickDeviceNs));
    }
    if (!due.empty()) {
      lock.unlock();
      for (Due& d : due) {
        std::lock_guard<std::mutex> slock(d.stream->m_Mutex);
        for (int i = 0; i < d.periods; ++i)
          if (!d.stream->ProcessPeriod(d.realNs)) break;
      }
      due.clear();
      lock.lock();
      // Streams whose endpoint went away stop here; they stay invalidated.
      m_Started.erase(std::remove_if(m_Started.begin(), m_Started.end(),
                                     [](const StreamPtr& s) { return s->Invalidated(); }),
                      m_Started.end());
      continue;
    }
    m_EngineWake.wait_until(lock,
                            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
  }
}

// ---------------------------------------------------------------------------------------------
// Notifications

void CSimAudioSystem::PostLocked(Notification notification) {
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  m_Queue.push_back(std::move(notification));
  ++m_Posted;
  m_NotifyChanged.notify_all();
}

HRESULT CSimAudioSystem::Register(IMMNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  client->AddRef();
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  m_Clients.push_back(client);
  return S_OK;
}

HRESULT CSimAudioSystem::Unregister(IMMNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  {
    std::lock_guard<std::mutex> lock(m_NotifyMutex);
    auto it = std::find(m_Clients.begin(), m_Clients.end(), client);
    if (it == m_Clients.end()) return E_NOTFOUND;
    m_Clients.erase(it);
  }
  client->Release();
  return S_OK;
}

bool CSimAudioSystem::WaitForNotifications(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m_NotifyMutex);
  const std::uint64_t target = m_Posted;
  return m_NotifyChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return m_Delivered >= target; });
}

size_t CSimAudioSystem::RegisteredClients() {
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  return m_Clients.size();
}

void CSimAudioSystem::NotificationLoop() {
  std::vector<IMMNotificationClient*> clients;
  std::unique_lock<std::mutex> lock(m_NotifyMutex);
  for (;;) {
    m_NotifyChanged.wait(lock, [&] { return !m_Queue.empty(); });
    Notification n = std::move(m_Queue.front());
    m_Queue.pop_front();
    clients = m_Clients;
    for (IMMNotificationClient* c : clients) c->AddRef();
    lock.unlock();
    const WCHAR* id = n.nullId ? nullptr : n.id.c_str();
    for (IMMNotificationClient* c : clients) {
      switch (n.kind) {
        case Notification::kAdded:
          c->OnDeviceAdded(id);
          break;
        case Notification::kRemoved:
          c->OnDeviceRemoved(id);
          break;
        case Notification::kState:
          c->OnDeviceStateChanged(id, n.state);
          break;
        case Notification::kDefault:
          c->OnDefaultDeviceChanged(n.flow, n.role, id);
          break;
        case Notification::kProperty:
          c->OnPropertyValueChanged(id, n.key);
          break;
      }
      c->Release();
    }
    lock.lock();
    ++m_Delivered;
    m_NotifyChanged.notify_all();
  }
}

// ---------------------------------------------------------------------------------------------
// Faults

HRESULT CSimAudioSystem::Fault(std::u16string_view id, std::string_view method) {
  if (m_FaultCount.load(std::memory_order_acquire) == 0) return S_OK;
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  for (auto it = m_Faults.begin(); it != m_Faults.end(); ++it) {
    if (it->method != method) continue;
    if (it->id != id && !(it->id == u"*" && !id.empty())) continue;
    const HRESULT hr = it->hr;
    if (it->remaining > 0 && --it->remaining == 0) {
      m_Faults.erase(it);
      m_FaultCount.fetch_sub(1, std::memory_order_release);
    }
    return hr;
  }
  return S_OK;
}

void CSimAudioSystem::InjectFault(std::u16string_view id, std::string_view method, HRESULT hr,
                                  int count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  m_Faults.push_back({std::u16string(id), std::string(method), hr, count < 0 ? -1 : count});
  m_FaultCount.fetch_add(1, std::memory_order_release);
}

void CSimAudioSystem::ClearFaults() {
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  m_Faults.clear();
  m_FaultCount.store(0, std::memory_order_release);
}

}  // namespace halvern::simaudio
