#include "platform/simaudio/audio_system.h"

#include <algorithm>
#include <cassert>
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

bool IsWellFormedFormat(const WAVEFORMATEX& format) {
  if (format.nChannels == 0 || format.nSamplesPerSec == 0 || format.nBlockAlign == 0) return false;
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    if (format.cbSize < 22 || ext.Samples.wValidBitsPerSample > format.wBitsPerSample) return false;
  }
  // Only sample formats have block and byte rate fixed by the other fields.
  if (!IsPcmFormat(format) && !IsFloatFormat(format)) return true;
  return format.wBitsPerSample != 0 && format.wBitsPerSample % 8 == 0 &&
         format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8 &&
         format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign;
}

bool IsSupportedFormat(const WAVEFORMATEX& format) {
  const WORD bits = format.wBitsPerSample;
  const bool samples =
      (IsPcmFormat(format) && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) ||
      (IsFloatFormat(format) && bits == 32);
  return samples && format.nChannels <= kMaxMeterChannels && format.nSamplesPerSec >= 1000 &&
         format.nSamplesPerSec <= 384000;
}

namespace {

double ReadSample(const BYTE* s, int bytes, bool flt) {
  if (flt) {
    float x;
    std::memcpy(&x, s, 4);
    return x;
  }
  switch (bytes) {
    case 1:
      return (s[0] - 128) / 128.0;
    case 2: {
      std::int16_t x;
      std::memcpy(&x, s, 2);
      return x / 32768.0;
    }
    case 3:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) << 8 |
                                       static_cast<std::uint32_t>(s[1]) << 16 |
                                       static_cast<std::uint32_t>(s[2]) << 24) /
             2147483648.0;
    default: {
      std::int32_t x;
      std::memcpy(&x, s, 4);
      return x / 2147483648.0;
    }
  }
}

void WriteSample(BYTE* s, int bytes, bool flt, double v) {
  if (flt) {
    const float x = static_cast<float>(v);
    std::memcpy(s, &x, 4);
    return;
  }
  const double full = bytes == 1 ? 128.0 : bytes == 2 ? 32768.0 : 2147483648.0;
  const double scaled = std::clamp(std::round(v * full), -full, full - 1.0);
  if (bytes == 1) {
    s[0] = static_cast<BYTE>(static_cast<int>(scaled) + 128);
  } else if (bytes == 2) {
    const auto x = static_cast<std::int16_t>(scaled);
    std::memcpy(s, &x, 2);
  } else {
    // 24-bit samples keep the top three bytes of the 32-bit value.
    const auto x = static_cast<std::uint32_t>(static_cast<std::int32_t>(scaled));
    if (bytes == 4) {
      std::memcpy(s, &x, 4);
    } else {
      s[0] = static_cast<BYTE>(x >> 8);
      s[1] = static_cast<BYTE>(x >> 16);
      s[2] = static_cast<BYTE>(x >> 24);
    }
  }
}

}  // namespace

void MeasurePeaks(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format, float* peaks) {
  const int channels = std::min<int>(format.nChannels, kMaxMeterChannels);
  for (int c = 0; c < kMaxMeterChannels; ++c) peaks[c] = 0.0f;
  const int bytes = format.wBitsPerSample / 8;
  const bool flt = IsFloatFormat(format);
  for (UINT32 f = 0; f < frames; ++f) {
    const BYTE* frame = data + static_cast<size_t>(f) * format.nBlockAlign;
    for (int c = 0; c < channels; ++c) {
      const double v = ReadSample(frame + static_cast<size_t>(c) * bytes, bytes, flt);
      peaks[c] = std::max(peaks[c], static_cast<float>(std::min(1.0, std::fabs(v))));
    }
  }
}

void ScaleSamples(BYTE* data, UINT32 frames, const WAVEFORMATEX& format, const float* gains) {
  const int channels = std::min<int>(format.nChannels, kMaxMeterChannels);
  if (std::all_of(gains, gains + channels, [](float g) { return g == 1.0f; })) return;
  const int bytes = format.wBitsPerSample / 8;
  const bool flt = IsFloatFormat(format);
  for (UINT32 f = 0; f < frames; ++f) {
    BYTE* frame = data + static_cast<size_t>(f) * format.nBlockAlign;
    for (int c = 0; c < channels; ++c) {
      BYTE* s = frame + static_cast<size_t>(c) * bytes;
      WriteSample(s, bytes, flt, ReadSample(s, bytes, flt) * gains[c]);
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
      m_Engine(desc.engine),
      m_SkewPpm(desc.clockSkewPpm),
      m_AnchorRealNs(0),
      m_AnchorDeviceNs(0.0) {
  if (m_MixFormat.Format.wFormatTag == 0)
    m_MixFormat =
        MakeFloatFormat(m_DeviceFormat.Format.nSamplesPerSec, m_DeviceFormat.Format.nChannels);
  m_ChannelDb.assign(m_DeviceFormat.Format.nChannels, desc.volumeMaxDb);
  for (auto& p : m_Peaks) p.store(0.0f);
  UpdateGainsLocked();
}

// Master and channel levels attenuate one after the other; channels beyond the device format's
// follow the master alone.
void CSimEndpoint::UpdateGainsLocked() {
  for (size_t c = 0; c < kMaxMeterChannels; ++c) {
    const float db = m_MasterDb + (c < m_ChannelDb.size() ? m_ChannelDb[c] : 0.0f);
    m_Gains[c].store(m_Muted ? 0.0f : static_cast<float>(std::pow(10.0, db / 20.0)),
                     std::memory_order_relaxed);
  }
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
      m_Generation(m_Endpoint->m_Generation.load(std::memory_order_acquire)) {
  std::lock_guard<std::mutex> lock(m_Endpoint->m_StreamsMutex);
  m_Endpoint->m_Streams.push_back(this);
}

CSimStream::~CSimStream() {
  if (m_Event != nullptr) platform::FromHandle(m_Event)->Drop();
  std::lock_guard<std::mutex> lock(m_Endpoint->m_StreamsMutex);
  auto& streams = m_Endpoint->m_Streams;
  streams.erase(std::find(streams.begin(), streams.end(), this));
}

HRESULT CSimStream::Error() const {
  if (const HRESULT hr = m_Error.load(std::memory_order_acquire); FAILED(hr)) return hr;
  return m_Generation != m_Endpoint->m_Generation.load(std::memory_order_acquire)
             ? AUDCLNT_E_DEVICE_INVALIDATED
             : S_OK;
}

// The first reason sticks: a stream broken by a service stop stays so when its device goes.
void CSimStream::Break(HRESULT reason) {
  HRESULT none = S_OK;
  m_Error.compare_exchange_strong(none, reason, std::memory_order_acq_rel);
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
  if (!m_Started || FAILED(Error())) return false;
  CSimEndpoint& ep = *m_Endpoint;
  const UINT32 frames = FramesOfTick(m_Tick);
  float peaks[kMaxMeterChannels] = {};
  if (IsRender())
    RenderPeriod(frames, peaks);
  else
    CapturePeriod(frames, realNs, peaks);
  // Exclusive streams bypass the software meter, which then reads 0.
  // https://learn.microsoft.com/en-us/windows/win32/api/endpointvolume/nn-endpointvolume-iaudiometerinformation
  if (!m_Exclusive) {
    for (int c = 0; c < kMaxMeterChannels; ++c)
      ep.m_Peaks[c].store(peaks[c], std::memory_order_relaxed);
    ep.m_PeaksRealNs.store(realNs, std::memory_order_release);
  }
  ep.m_Periods.fetch_add(1, std::memory_order_relaxed);
  m_Position += frames;
  ++m_Tick;
  if (m_Event != nullptr) SetEvent(m_Event);
  return true;
}

namespace {

BYTE SilentByte(const WAVEFORMATEX& format) {
  return format.wBitsPerSample == 8 && !IsFloatFormat(format) ? 0x80 : 0;
}

void SoftwareVolume(CSimEndpoint& ep, BYTE* data, UINT32 frames, const WAVEFORMATEX& format) {
  float gains[kMaxMeterChannels];
  for (int c = 0; c < kMaxMeterChannels; ++c)
    gains[c] = ep.m_Gains[c].load(std::memory_order_relaxed);
  ScaleSamples(data, frames, format, gains);
}

}  // namespace

// The meter reads the stream before the endpoint volume attenuates it, in both directions.
void CSimStream::RenderPeriod(UINT32 frames, float* peaks) {
  CSimEndpoint& ep = *m_Endpoint;
  const WAVEFORMATEX& fmt = m_Format.Format;
  const UINT32 take = std::min(frames, m_Padding);
  for (UINT32 done = 0; done < take;) {
    const UINT32 run = std::min(take - done, m_BufferFrames - m_RingRead);
    std::memcpy(m_Scratch.data() + static_cast<size_t>(done) * m_BlockAlign,
                m_Ring.data() + static_cast<size_t>(m_RingRead) * m_BlockAlign,
                static_cast<size_t>(run) * m_BlockAlign);
    m_RingRead = (m_RingRead + run) % m_BufferFrames;
    done += run;
  }
  m_Padding -= take;
  if (take < frames) {
    std::memset(m_Scratch.data() + static_cast<size_t>(take) * m_BlockAlign, SilentByte(fmt),
                static_cast<size_t>(frames - take) * m_BlockAlign);
    ep.m_Underruns.fetch_add(1, std::memory_order_relaxed);
  }
  MeasurePeaks(m_Scratch.data(), frames, fmt, peaks);
  if (m_SoftwareVolume) SoftwareVolume(ep, m_Scratch.data(), frames, fmt);
  {
    std::lock_guard<std::mutex> io(ep.m_IoMutex);
    if (ep.m_Sink) ep.m_Sink(m_Scratch.data(), frames, fmt, m_Position);
  }
  ep.m_FramesRendered.fetch_add(frames, std::memory_order_relaxed);
}

void CSimStream::CapturePeriod(UINT32 frames, std::int64_t realNs, float* peaks) {
  CSimEndpoint& ep = *m_Endpoint;
  const WAVEFORMATEX& fmt = m_Format.Format;
  if (m_Count == m_Packets.size()) {
    // The client did not keep up: the engine drops the period and marks the next packet.
    m_Discontinuity = true;
    ep.m_Overflows.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const size_t slot = (m_Head + m_Count) % m_Packets.size();
  BYTE* data = m_Slots.data() + slot * static_cast<size_t>(m_SlotFrames) * m_BlockAlign;
  const size_t bytes = static_cast<size_t>(frames) * m_BlockAlign;
  DWORD flags = m_Discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
  bool silent = false;
  {
    std::lock_guard<std::mutex> io(ep.m_IoMutex);
    if (ep.m_Source)
      ep.m_Source(data, frames, fmt, m_Position);
    else
      silent = true;
  }
  if (silent) {
    // Windows tells clients to ignore the contents of a silent packet; garbage makes sure they do.
    // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/ne-audioclient-_audclnt_bufferflags
    std::memset(data, m_NoisySilence ? 0x5A : SilentByte(fmt), bytes);
    flags |= AUDCLNT_BUFFERFLAGS_SILENT;
  } else {
    MeasurePeaks(data, frames, fmt, peaks);
    if (m_SoftwareVolume) SoftwareVolume(ep, data, frames, fmt);
  }
  m_Packets[slot] = {frames, flags, m_Position, static_cast<UINT64>(realNs / 100)};
  ++m_Count;
  m_Discontinuity = false;
  ep.m_FramesCaptured.fetch_add(frames, std::memory_order_relaxed);
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

namespace {

thread_local const char* t_Callback = nullptr;  // the notification callback running on this thread

void ObserveWait(DWORD) {
  if (InNotificationCallback()) RecordCallbackBreach("a wait on a kernel object");
}

}  // namespace

bool InNotificationCallback() { return t_Callback != nullptr; }

// https://learn.microsoft.com/en-us/windows/win32/api/mmdeviceapi/nn-mmdeviceapi-immnotificationclient
void RecordCallbackBreach(std::string_view what) {
  CSimAudioSystem& sys = CSimAudioSystem::Get();
  if (sys.m_Strict.load(std::memory_order_relaxed))
    sys.RecordBreach(std::string(what) + " in " + t_Callback);
}

CSimAudioSystem::CSimAudioSystem() {
  platform::SetWaitObserver(ObserveWait);
  m_Engine = std::thread([this] { EngineLoop(); });
  m_Notifier = std::thread([this] { NotificationLoop(); });
}

void CSimAudioSystem::RecordBreach(std::string what) {
  std::lock_guard<std::mutex> lock(m_BreachMutex);
  m_Breaches.push_back(std::move(what));
}

std::vector<std::string> CSimAudioSystem::Breaches() {
  std::lock_guard<std::mutex> lock(m_BreachMutex);
  return m_Breaches;
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
  }
  {
    // Clients are forgotten without a Release (Windows took no reference), once none is called.
    std::unique_lock<std::mutex> lock(m_NotifyMutex);
    m_Delivered += m_Queue.size();
    m_Queue.clear();
    m_Clients.clear();
    m_NotifyChanged.notify_all();
    m_NotifyChanged.wait(lock, [&] { return m_Calling == nullptr; });
  }
  ClearFaults();
  m_PolicyInterfaces.store(kPolicyConfig | kPolicyConfigWindows10 | kPolicyConfigWindows10_1);
  std::lock_guard<std::mutex> lock(m_BreachMutex);
  m_Breaches.clear();
}

void ChangeFormatLocked(CSimEndpoint& ep, const WAVEFORMATEXTENSIBLE& device,
                        const WAVEFORMATEXTENSIBLE& mix) {
  ep.m_DeviceFormat = device;
  ep.m_MixFormat = mix;
  ep.m_ChannelDb.resize(device.Format.nChannels, ep.m_VolumeMaxDb);
  ep.m_Generation.fetch_add(1, std::memory_order_acq_rel);
  Notification n{Notification::kProperty};
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
  if (HRESULT hr = stream->Error(); FAILED(hr)) return hr;
  if (stream->m_Started) return AUDCLNT_E_NOT_STOPPED;
  if (stream->m_EventDriven && stream->m_Event == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
  const CSimEndpoint& ep = *stream->m_Endpoint;
  // Exclusive streams talk to the hardware directly: no software volume.
  stream->m_SoftwareVolume = !ep.m_Engine.hardwareVolume && !stream->m_Exclusive;
  stream->m_NoisySilence = ep.m_Engine.noisySilence;
  // Windows leaves the flag of the first packet after Start undefined; clients must cope with it.
  // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudiocaptureclient-getbuffer
  if (!stream->IsRender() && ep.m_Engine.discontinuityAfterStart) stream->m_Discontinuity = true;
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
                                     [](const StreamPtr& s) { return FAILED(s->Error()); }),
                      m_Started.end());
      continue;
    }
    m_EngineWake.wait_until(lock,
                            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
  }
}

// ---------------------------------------------------------------------------------------------
// Notifications

void CSimAudioSystem::PostLocked(Notification notification) { Post(std::move(notification)); }

void CSimAudioSystem::Post(Notification notification) {
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  m_Queue.push_back({std::move(notification), ++m_Posted});
  m_NotifyChanged.notify_all();
}

// Windows takes no reference on the client: it must outlive its registration.
// https://learn.microsoft.com/en-us/windows/win32/api/mmdeviceapi/nf-mmdeviceapi-immdeviceenumerator-registerendpointnotificationcallback
HRESULT CSimAudioSystem::Register(IMMNotificationClient* client) {
  if (InNotificationCallback()) RecordCallbackBreach("RegisterEndpointNotificationCallback");
  if (client == nullptr) return E_POINTER;
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  m_Clients.push_back({client, ++m_NextRegistration, m_Posted});
  return S_OK;
}

// Returns once no callback into the client runs on the notification thread, so that the caller
// may then destroy it; from inside a callback that wait would never end (hence the rule).
HRESULT CSimAudioSystem::Unregister(IMMNotificationClient* client) {
  const bool inCallback = InNotificationCallback();
  if (inCallback) RecordCallbackBreach("UnregisterEndpointNotificationCallback");
  if (client == nullptr) return E_POINTER;
  std::unique_lock<std::mutex> lock(m_NotifyMutex);
  auto it = std::find_if(m_Clients.begin(), m_Clients.end(),
                         [&](const Registration& r) { return r.client == client; });
  if (it == m_Clients.end()) return E_NOTFOUND;
  m_Clients.erase(it);
  if (!inCallback) m_NotifyChanged.wait(lock, [&] { return m_Calling != client; });
  return S_OK;
}

bool CSimAudioSystem::WaitForNotifications(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m_NotifyMutex);
  const std::uint64_t target = m_Posted;
  return m_NotifyChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return m_Delivered >= target && m_Calling == nullptr; });
}

size_t CSimAudioSystem::RegisteredClients() {
  std::lock_guard<std::mutex> lock(m_NotifyMutex);
  return m_Clients.size();
}

void CSimAudioSystem::NotificationLoop() {
  std::unique_lock<std::mutex> lock(m_NotifyMutex);
  for (;;) {
    m_NotifyChanged.wait(lock, [&] { return !m_Queue.empty(); });
    const Queued q = std::move(m_Queue.front());
    m_Queue.pop_front();
    lock.unlock();
    Deliver(q.notification, q.sequence);
    lock.lock();
    ++m_Delivered;
    m_NotifyChanged.notify_all();
  }
}

// Calls every client registered before the notification was raised and still registered when
// its turn comes. The thread is in the multithreaded apartment while it calls clients, as the
// MMDevice API's worker threads are (undocumented); only then, so that it does not keep an
// implicit MTA alive for threads that never initialised COM.
void CSimAudioSystem::Deliver(const Notification& n, std::uint64_t sequence) {
  std::vector<Registration> clients;
  {
    std::lock_guard<std::mutex> lock(m_NotifyMutex);
    clients = m_Clients;
  }
  const WCHAR* id = n.nullId ? nullptr : n.id.c_str();
  for (const Registration& r : clients) {
    if (r.since >= sequence) continue;
    {
      std::lock_guard<std::mutex> lock(m_NotifyMutex);
      if (std::none_of(m_Clients.begin(), m_Clients.end(),
                       [&](const Registration& c) { return c.id == r.id; }))
        continue;
      m_Calling = r.client;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMMNotificationClient* c = r.client;
    switch (n.kind) {
      case Notification::kAdded:
        t_Callback = "OnDeviceAdded";
        c->OnDeviceAdded(id);
        break;
      case Notification::kRemoved:
        t_Callback = "OnDeviceRemoved";
        c->OnDeviceRemoved(id);
        break;
      case Notification::kState:
        t_Callback = "OnDeviceStateChanged";
        c->OnDeviceStateChanged(id, n.state);
        break;
      case Notification::kDefault:
        t_Callback = "OnDefaultDeviceChanged";
        c->OnDefaultDeviceChanged(n.flow, n.role, id);
        break;
      case Notification::kProperty:
        t_Callback = "OnPropertyValueChanged";
        c->OnPropertyValueChanged(id, n.key);
        break;
    }
    t_Callback = nullptr;
    CoUninitialize();
    std::lock_guard<std::mutex> lock(m_NotifyMutex);
    m_Calling = nullptr;
    m_NotifyChanged.notify_all();
  }
}

// ---------------------------------------------------------------------------------------------
// Faults

namespace {

// Every method a fault can be injected into, so that a misspelt name is refused, not ignored.
constexpr std::string_view kFaultMethods[] = {
    "CoCreateInstance(MMDeviceEnumerator)",
    "CoCreateInstance(PolicyConfig)",
    "IMMDeviceEnumerator::EnumAudioEndpoints",
    "IMMDeviceEnumerator::GetDefaultAudioEndpoint",
    "IMMDeviceEnumerator::GetDevice",
    "IMMDeviceEnumerator::RegisterEndpointNotificationCallback",
    "IMMDeviceEnumerator::UnregisterEndpointNotificationCallback",
    "IMMDeviceCollection::GetCount",
    "IMMDeviceCollection::Item",
    "IMMDevice::Activate",
    "IMMDevice::OpenPropertyStore",
    "IMMDevice::GetId",
    "IMMDevice::GetState",
    "IPropertyStore::GetCount",
    "IPropertyStore::GetAt",
    "IPropertyStore::GetValue",
    "IAudioClient::Initialize",
    "IAudioClient::GetBufferSize",
    "IAudioClient::GetStreamLatency",
    "IAudioClient::GetCurrentPadding",
    "IAudioClient::IsFormatSupported",
    "IAudioClient::GetMixFormat",
    "IAudioClient::GetDevicePeriod",
    "IAudioClient::Start",
    "IAudioClient::Stop",
    "IAudioClient::Reset",
    "IAudioClient::SetEventHandle",
    "IAudioClient::GetService",
    "IAudioRenderClient::GetBuffer",
    "IAudioRenderClient::ReleaseBuffer",
    "IAudioCaptureClient::GetBuffer",
    "IAudioCaptureClient::ReleaseBuffer",
    "IAudioCaptureClient::GetNextPacketSize",
    "IAudioEndpointVolume::GetChannelCount",
    "IAudioEndpointVolume::SetMasterVolumeLevel",
    "IAudioEndpointVolume::SetMasterVolumeLevelScalar",
    "IAudioEndpointVolume::GetMasterVolumeLevel",
    "IAudioEndpointVolume::GetMasterVolumeLevelScalar",
    "IAudioEndpointVolume::SetChannelVolumeLevel",
    "IAudioEndpointVolume::SetChannelVolumeLevelScalar",
    "IAudioEndpointVolume::GetChannelVolumeLevel",
    "IAudioEndpointVolume::GetChannelVolumeLevelScalar",
    "IAudioEndpointVolume::SetMute",
    "IAudioEndpointVolume::GetMute",
    "IAudioEndpointVolume::GetVolumeStepInfo",
    "IAudioEndpointVolume::VolumeStepUp",
    "IAudioEndpointVolume::VolumeStepDown",
    "IAudioEndpointVolume::QueryHardwareSupport",
    "IAudioEndpointVolume::GetVolumeRange",
    "IAudioMeterInformation::GetPeakValue",
    "IAudioMeterInformation::GetMeteringChannelCount",
    "IAudioMeterInformation::GetChannelsPeakValues",
    "IAudioMeterInformation::QueryHardwareSupport",
    "IPolicyConfig::GetMixFormat",
    "IPolicyConfig::GetDeviceFormat",
    "IPolicyConfig::ResetDeviceFormat",
    "IPolicyConfig::SetDeviceFormat",
    "IPolicyConfig::GetProcessingPeriod",
    "IPolicyConfig::SetProcessingPeriod",
    "IPolicyConfig::GetShareMode",
    "IPolicyConfig::SetShareMode",
    "IPolicyConfig::GetPropertyValue",
    "IPolicyConfig::SetPropertyValue",
    "IPolicyConfig::SetDefaultEndpoint",
    "IPolicyConfig::SetEndpointVisibility",
};

// Kernel calls of the platform layer: they belong to no endpoint and fail with a last error, so
// only HRESULT_FROM_WIN32 codes can stand for them.
constexpr std::string_view kKernelCalls[] = {
    "CreateThread",
    "CreateEventExW",
    "WaitForMultipleObjects",
    "AvSetMmThreadCharacteristicsW",
};

bool IsKernelCall(std::string_view method) {
  return std::find(std::begin(kKernelCalls), std::end(kKernelCalls), method) !=
         std::end(kKernelCalls);
}

bool IsFaultMethod(std::string_view method) {
  return IsKernelCall(method) || std::find(std::begin(kFaultMethods), std::end(kFaultMethods),
                                           method) != std::end(kFaultMethods);
}

DWORD KernelFault(std::string_view call) {
  const HRESULT hr = CSimAudioSystem::Get().Fault(u"", call);
  return FAILED(hr) ? static_cast<DWORD>(hr) & 0xFFFFu : 0;
}

}  // namespace

HRESULT CSimAudioSystem::Fault(std::u16string_view id, std::string_view method) {
  assert(IsFaultMethod(method));
  if (m_FaultCount.load(std::memory_order_acquire) == 0) return S_OK;
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  for (FaultEntry& f : m_Faults) {
    if (f.remaining == 0 || f.method != method) continue;
    if (f.id != id && !(f.id == u"*" && !id.empty())) continue;
    if (f.thread != 0 && f.thread != GetCurrentThreadId()) continue;
    ++f.fired;
    if (f.remaining > 0 && --f.remaining == 0) m_FaultCount.fetch_sub(1, std::memory_order_release);
    return f.hr;
  }
  return S_OK;
}

HRESULT CSimAudioSystem::InjectFault(std::u16string_view id, std::string_view method, HRESULT hr,
                                     int count, DWORD thread) {
  if (count == 0 || SUCCEEDED(hr) || !IsFaultMethod(method)) return E_INVALIDARG;
  const bool kernel = IsKernelCall(method);
  if (kernel && (!id.empty() || HRESULT_FROM_WIN32(static_cast<DWORD>(hr) & 0xFFFFu) != hr))
    return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  m_Faults.push_back(
      {std::u16string(id), std::string(method), hr, count < 0 ? -1 : count, 0, thread});
  m_FaultCount.fetch_add(1, std::memory_order_release);
  // Installed only once armed, so that kernel calls cost one atomic load in every other test.
  if (kernel) platform::SetKernelFaultHook(KernelFault);
  return S_OK;
}

int CSimAudioSystem::FaultsFired(std::u16string_view id, std::string_view method) {
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  int fired = 0;
  for (const FaultEntry& f : m_Faults)
    if (f.id == id && f.method == method) fired += f.fired;
  return fired;
}

void CSimAudioSystem::ClearFaults() {
  platform::SetKernelFaultHook(nullptr);
  std::lock_guard<std::mutex> lock(m_FaultMutex);
  m_Faults.clear();
  m_FaultCount.store(0, std::memory_order_release);
}

}  // namespace halvern::simaudio
