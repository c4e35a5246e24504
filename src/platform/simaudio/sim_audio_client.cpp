// IAudioClient, IAudioRenderClient and IAudioCaptureClient of the simulated system: event-driven
// streams paced by the engine thread (audio_system.cpp).
#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/posix/kernel_object.h"
#include "platform/simaudio/com_object.h"

namespace halvern::simaudio {

namespace {

constexpr REFERENCE_TIME kMaxExclusivePeriod = REFERENCE_TIME{5000} * 10000;  // 5 s

// Whole frames, rounded up: a shared buffer holds at least what was asked for.
UINT32 FramesOf(REFERENCE_TIME hns, DWORD rate) {
  return static_cast<UINT32>((static_cast<std::uint64_t>(hns) * rate + kHnsPerSecond - 1) /
                             kHnsPerSecond);
}

// Exclusive sizes round to the nearest frame: the documented retry after
// AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED turns frames into a rounded duration and relies on it.
// https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudioclient-initialize
UINT32 NearestFramesOf(REFERENCE_TIME hns, DWORD rate) {
  return static_cast<UINT32>((static_cast<std::uint64_t>(hns) * rate + kHnsPerSecond / 2) /
                             kHnsPerSecond);
}

// Exclusive mode talks to the hardware: only its own format passes unless the test says otherwise.
HRESULT ExclusiveAnswerLocked(const CSimEndpoint& ep, const WAVEFORMATEX& format) {
  if (ep.m_ExclusiveAnswer) return *ep.m_ExclusiveAnswer;
  const WAVEFORMATEX& dev = ep.m_DeviceFormat.Format;
  const bool same = IsSupportedFormat(format) && format.nSamplesPerSec == dev.nSamplesPerSec &&
                    format.nChannels == dev.nChannels &&
                    format.wBitsPerSample == dev.wBitsPerSample &&
                    IsFloatFormat(format) == IsFloatFormat(dev);
  return same ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

// Shared mode: the engine converts sample types but not rates or channel counts.
bool SharedAcceptsLocked(const CSimEndpoint& ep, const WAVEFORMATEX& format) {
  return format.nSamplesPerSec == ep.m_MixFormat.Format.nSamplesPerSec &&
         format.nChannels == ep.m_MixFormat.Format.nChannels;
}

class CSimAudioClient;

class CSimRenderClient final : public TSimComObject<IAudioRenderClient> {
 public:
  CSimRenderClient(IAudioClient* owner, StreamPtr stream);
  ~CSimRenderClient() override { m_Owner->Release(); }

  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    if (HRESULT hr = Fault(*m_Stream->m_Endpoint, "IAudioRenderClient::GetBuffer"); hr != S_OK)
      return hr;
    if (data == nullptr) return E_POINTER;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    // A packet of 0 frames may be left unreleased.
    if (s.m_BufferOut && s.m_Requested != 0) return AUDCLNT_E_OUT_OF_ORDER;
    if (s.m_Exclusive && s.m_EventDriven && frames != 0 && frames != s.m_BufferFrames)
      return AUDCLNT_E_BUFFER_SIZE_ERROR;
    if (frames > s.m_BufferFrames - s.m_Padding) return AUDCLNT_E_BUFFER_TOO_LARGE;
    s.m_BufferOut = true;
    s.m_Requested = frames;
    // A request of 0 frames leaves *data as it was.
    // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudiorenderclient-getbuffer
    if (frames != 0) *data = s.m_Staging.data();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
    if (HRESULT hr = Fault(*m_Stream->m_Endpoint, "IAudioRenderClient::ReleaseBuffer"); hr != S_OK)
      return hr;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    if (!s.m_BufferOut) return AUDCLNT_E_OUT_OF_ORDER;
    if (frames > s.m_Requested) return AUDCLNT_E_INVALID_SIZE;
    if ((flags & ~static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT)) != 0) return E_INVALIDARG;
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0)
      std::memset(
          s.m_Staging.data(),
          s.m_Format.Format.wBitsPerSample == 8 && !IsFloatFormat(s.m_Format.Format) ? 0x80 : 0,
          static_cast<size_t>(frames) * s.m_BlockAlign);
    UINT32 write = (s.m_RingRead + s.m_Padding) % s.m_BufferFrames;
    for (UINT32 done = 0; done < frames;) {
      const UINT32 run = std::min(frames - done, s.m_BufferFrames - write);
      std::memcpy(s.m_Ring.data() + static_cast<size_t>(write) * s.m_BlockAlign,
                  s.m_Staging.data() + static_cast<size_t>(done) * s.m_BlockAlign,
                  static_cast<size_t>(run) * s.m_BlockAlign);
      write = (write + run) % s.m_BufferFrames;
      done += run;
    }
    s.m_Padding += frames;
    s.m_BufferOut = false;
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IAudioRenderClient; }
  const char* Name() const override { return "IAudioRenderClient"; }
  IAudioClient* const m_Owner;
  const StreamPtr m_Stream;
};

class CSimCaptureClient final : public TSimComObject<IAudioCaptureClient> {
 public:
  CSimCaptureClient(IAudioClient* owner, StreamPtr stream);
  ~CSimCaptureClient() override { m_Owner->Release(); }

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                      UINT64* qpc) override {
    if (HRESULT hr = Fault(*m_Stream->m_Endpoint, "IAudioCaptureClient::GetBuffer"); hr != S_OK)
      return hr;
    if (data == nullptr || frames == nullptr || flags == nullptr) return E_POINTER;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    if (s.m_BufferOut) return AUDCLNT_E_OUT_OF_ORDER;
    if (s.m_Count == 0) {
      // Data, position and counter are left as they were; an empty packet needs no release.
      // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudiocaptureclient-getbuffer
      *frames = 0;
      *flags = 0;
      s.m_EmptyOut = true;
      return AUDCLNT_S_BUFFER_EMPTY;
    }
    s.m_EmptyOut = false;
    const CSimStream::Packet& p = s.m_Packets[s.m_Head];
    *data = s.m_Slots.data() + s.m_Head * static_cast<size_t>(s.m_SlotFrames) * s.m_BlockAlign;
    *frames = p.frames;
    *flags = p.flags;
    if (position != nullptr) *position = p.position;
    if (qpc != nullptr) *qpc = p.qpc;
    s.m_BufferOut = true;
    s.m_Requested = p.frames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    if (HRESULT hr = Fault(*m_Stream->m_Endpoint, "IAudioCaptureClient::ReleaseBuffer"); hr != S_OK)
      return hr;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    if (!s.m_BufferOut) {
      const bool emptyOut = std::exchange(s.m_EmptyOut, false);
      return frames == 0 && emptyOut ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    // A packet is released whole or not at all (0 keeps it for the next GetBuffer).
    if (frames != 0 && frames != s.m_Requested) return AUDCLNT_E_INVALID_SIZE;
    if (frames != 0) {
      s.m_Head = (s.m_Head + 1) % s.m_Packets.size();
      --s.m_Count;
    }
    s.m_BufferOut = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    if (HRESULT hr = Fault(*m_Stream->m_Endpoint, "IAudioCaptureClient::GetNextPacketSize");
        hr != S_OK)
      return hr;
    if (frames == nullptr) return E_POINTER;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    *frames = s.m_Count == 0 ? 0 : s.m_Packets[s.m_Head].frames;
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IAudioCaptureClient; }
  const char* Name() const override { return "IAudioCaptureClient"; }
  IAudioClient* const m_Owner;
  const StreamPtr m_Stream;
};

CSimRenderClient::CSimRenderClient(IAudioClient* owner, StreamPtr stream)
    : m_Owner(owner), m_Stream(std::move(stream)) {
  m_Owner->AddRef();
}

CSimCaptureClient::CSimCaptureClient(IAudioClient* owner, StreamPtr stream)
    : m_Owner(owner), m_Stream(std::move(stream)) {
  m_Owner->AddRef();
}

class CSimAudioClient final : public TSimComObject<IAudioClient> {
 public:
  explicit CSimAudioClient(EndpointPtr endpoint)
      : m_Stream(std::make_shared<CSimStream>(std::move(endpoint))) {}

  ~CSimAudioClient() override {
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    sys.StopStream(m_Stream);
    std::lock_guard<std::mutex> lock(sys.Mutex());
    std::lock_guard<std::mutex> slock(m_Stream->m_Mutex);
    if (m_Stream->m_Initialized) {
      UINT32& streams = m_Stream->m_Exclusive ? Ep().m_ExclusiveStreams : Ep().m_SharedStreams;
      --streams;
    }
  }

  // A client that failed to initialise is spent: Windows may answer every later Initialize with
  // AUDCLNT_E_ALREADY_INITIALIZED, and the simulation always does.
  // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudioclient-initialize
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                       const GUID*) override {
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    std::lock_guard<std::mutex> slock(s.m_Mutex);
    if (s.m_Initialized || s.m_InitializeFailed) return AUDCLNT_E_ALREADY_INITIALIZED;
    const HRESULT hr = InitializeLocked(mode, flags, duration, periodicity, format);
    s.m_Initialized = SUCCEEDED(hr);
    s.m_InitializeFailed = FAILED(hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetBufferSize"); hr != S_OK) return hr;
    if (frames == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    if (!m_Stream->m_Initialized) {
      if (m_Stream->m_AlignedFrames == 0) return AUDCLNT_E_NOT_INITIALIZED;
      *frames = m_Stream->m_AlignedFrames;
      return S_OK;
    }
    *frames = m_Stream->m_BufferFrames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetStreamLatency"); hr != S_OK) return hr;
    if (latency == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
    if (!m_Stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    *latency = m_Stream->m_PeriodHns;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetCurrentPadding"); hr != S_OK) return hr;
    if (frames == nullptr) return E_POINTER;
    CSimStream& s = *m_Stream;
    std::lock_guard<std::mutex> lock(s.m_Mutex);
    if (!s.m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    *frames = s.IsRender() ? s.m_Padding : s.QueuedCaptureFrames();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest) override {
    if (format == nullptr || (mode == AUDCLNT_SHAREMODE_SHARED && closest == nullptr))
      return E_POINTER;
    if (closest != nullptr) *closest = nullptr;
    if (HRESULT hr = Fault(Ep(), "IAudioClient::IsFormatSupported"); hr != S_OK) return hr;
    if (mode != AUDCLNT_SHAREMODE_SHARED && mode != AUDCLNT_SHAREMODE_EXCLUSIVE)
      return E_INVALIDARG;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    if (!IsWellFormedFormat(*format)) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    if (mode == AUDCLNT_SHAREMODE_EXCLUSIVE) return ExclusiveAnswerLocked(Ep(), *format);
    if (!IsSupportedFormat(*format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (SharedAcceptsLocked(Ep(), *format)) return S_OK;
    // The closest match the engine offers is its own mix format.
    *closest = CopyFormatToTaskMem(Ep().m_MixFormat);
    return *closest != nullptr ? S_FALSE : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    if (format == nullptr) return E_POINTER;
    *format = nullptr;
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetMixFormat"); hr != S_OK) return hr;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    *format = CopyFormatToTaskMem(Ep().m_MixFormat);
    return *format != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                            REFERENCE_TIME* minimumPeriod) override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetDevicePeriod"); hr != S_OK) return hr;
    if (defaultPeriod == nullptr && minimumPeriod == nullptr) return E_POINTER;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    if (defaultPeriod != nullptr) *defaultPeriod = Ep().m_DefaultPeriod;
    if (minimumPeriod != nullptr) *minimumPeriod = Ep().m_MinimumPeriod;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::Start"); hr != S_OK) return hr;
    return CSimAudioSystem::Get().StartStream(m_Stream);
  }
  // Stop waits for the engine, which may be waiting for the notification thread.
  HRESULT STDMETHODCALLTYPE Stop() override {
    if (InNotificationCallback()) RecordCallbackBreach("IAudioClient::Stop");
    if (HRESULT hr = Fault(Ep(), "IAudioClient::Stop"); hr != S_OK) return hr;
    {
      std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
      if (!m_Stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
      if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
      if (!m_Stream->m_Started) return S_FALSE;
    }
    CSimAudioSystem::Get().StopStream(m_Stream);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::Reset"); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
    if (!m_Stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    if (m_Stream->m_Started) return AUDCLNT_E_NOT_STOPPED;
    if (m_Stream->m_BufferOut && m_Stream->m_Requested != 0)
      return AUDCLNT_E_BUFFER_OPERATION_PENDING;
    m_Stream->Flush();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::SetEventHandle"); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
    if (!m_Stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
    if (!m_Stream->m_EventDriven) return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
    if (event == nullptr) return E_INVALIDARG;
    // The stream keeps the event object alive; a caller closing its handle early is harmless.
    platform::FromHandle(event)->Retain();
    if (m_Stream->m_Event != nullptr) platform::FromHandle(m_Stream->m_Event)->Drop();
    m_Stream->m_Event = event;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (HRESULT hr = Fault(Ep(), "IAudioClient::GetService"); hr != S_OK) return hr;
    bool render;
    {
      std::lock_guard<std::mutex> lock(m_Stream->m_Mutex);
      if (!m_Stream->m_Initialized) return AUDCLNT_E_NOT_INITIALIZED;
      if (HRESULT hr = m_Stream->Error(); FAILED(hr)) return hr;
      render = m_Stream->IsRender();
    }
    if (riid == IID_IAudioRenderClient) {
      if (!render) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
      *ppv = static_cast<IAudioRenderClient*>(new CSimRenderClient(this, m_Stream));
      return S_OK;
    }
    if (riid == IID_IAudioCaptureClient) {
      if (render) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
      *ppv = static_cast<IAudioCaptureClient*>(new CSimCaptureClient(this, m_Stream));
      return S_OK;
    }
    return E_NOINTERFACE;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IAudioClient; }
  const char* Name() const override { return "IAudioClient"; }
  CSimEndpoint& Ep() const { return *m_Stream->m_Endpoint; }

  // Under the system and stream mutexes.
  HRESULT InitializeLocked(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                           REFERENCE_TIME periodicity, const WAVEFORMATEX* format) {
    if (HRESULT hr = Fault(Ep(), "IAudioClient::Initialize"); hr != S_OK) return hr;
    if (format == nullptr) return E_POINTER;
    constexpr DWORD kKnownFlags = AUDCLNT_STREAMFLAGS_CROSSPROCESS | AUDCLNT_STREAMFLAGS_LOOPBACK |
                                  AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                  AUDCLNT_STREAMFLAGS_NOPERSIST | AUDCLNT_STREAMFLAGS_RATEADJUST |
                                  AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                                  AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    if ((mode != AUDCLNT_SHAREMODE_SHARED && mode != AUDCLNT_SHAREMODE_EXCLUSIVE) ||
        (flags & ~kKnownFlags) != 0 || duration < 0 || periodicity < 0 ||
        !IsWellFormedFormat(*format))
      return E_INVALIDARG;
    const bool exclusive = mode == AUDCLNT_SHAREMODE_EXCLUSIVE;
    if (exclusive && (flags & AUDCLNT_STREAMFLAGS_CROSSPROCESS) != 0) return E_INVALIDARG;
    // Loopback capture of a render endpoint is not part of the simulation.
    if ((flags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0) return E_NOTIMPL;
    CSimStream& s = *m_Stream;
    CSimEndpoint& ep = Ep();
    if (HRESULT hr = s.Error(); FAILED(hr)) return hr;
    if (!IsSupportedFormat(*format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    const DWORD rate = format->nSamplesPerSec;
    REFERENCE_TIME period = ep.m_DefaultPeriod;
    UINT32 bufferFrames = 0;
    if (exclusive) {
      if (ep.m_SharedStreams > 0 || ep.m_ExclusiveStreams > 0) return AUDCLNT_E_DEVICE_IN_USE;
      if (HRESULT hr = ExclusiveAnswerLocked(ep, *format); FAILED(hr)) return hr;
      if ((flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 && duration != periodicity)
        return AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL;
      // A period below the device minimum is raised to it; above the system maximum is an error.
      if (periodicity > kMaxExclusivePeriod) return AUDCLNT_E_INVALID_DEVICE_PERIOD;
      if (periodicity != 0) period = std::max(periodicity, ep.m_MinimumPeriod);
      bufferFrames = NearestFramesOf(std::max(duration, period), rate);
      const UINT32 align = ep.m_ExclusiveAlignment;
      if (align != 0 && bufferFrames % align != 0) {
        // GetBufferSize then reports the next aligned size, for the caller to retry with.
        s.m_AlignedFrames = (bufferFrames / align + 1) * align;
        return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
      }
      // The hardware moves the whole buffer each period, to the frame.
      s.m_PeriodScaled = static_cast<std::uint64_t>(bufferFrames) * kHnsPerSecond;
      s.m_PeriodNs = bufferFrames * 1e9 / rate;
    } else {
      if (ep.m_ExclusiveStreams > 0) return AUDCLNT_E_DEVICE_IN_USE;
      if ((flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) == 0 && !SharedAcceptsLocked(ep, *format))
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
      // A non-zero periodicity is ignored in shared mode: the engine keeps its own period.
      s.m_PeriodScaled = static_cast<std::uint64_t>(period) * rate;
      s.m_PeriodNs = static_cast<double>(period) * 100.0;
      bufferFrames =
          std::max(FramesOf(duration, rate), FramesOf(ep.m_Engine.sharedBufferMinimum, rate)) +
          FramesOf(ep.m_Engine.sharedBufferExtra, rate);
    }
    s.m_Format = WAVEFORMATEXTENSIBLE{};
    std::memcpy(&s.m_Format, format, FormatBytes(*format));
    s.m_BlockAlign = format->nBlockAlign;
    s.m_PeriodHns = period;
    s.m_SlotFrames = static_cast<UINT32>((s.m_PeriodScaled + kHnsPerSecond - 1) / kHnsPerSecond);
    // Never less than one period: the engine moves a whole period at a time.
    s.m_BufferFrames = std::max(bufferFrames, s.m_SlotFrames);
    s.m_EventDriven = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
    s.m_Exclusive = exclusive;
    const size_t frameBytes = s.m_BlockAlign;
    if (s.IsRender()) {
      s.m_Ring.assign(s.m_BufferFrames * frameBytes, 0);
      s.m_Staging.assign(s.m_BufferFrames * frameBytes, 0);
      s.m_Scratch.assign(s.m_SlotFrames * frameBytes, 0);
    } else {
      const size_t slots = std::max<size_t>(1, s.m_BufferFrames / s.m_SlotFrames);
      s.m_Packets.assign(slots, CSimStream::Packet{});
      s.m_Slots.assign(slots * s.m_SlotFrames * frameBytes, 0);
    }
    s.Flush();
    ++(exclusive ? ep.m_ExclusiveStreams : ep.m_SharedStreams);
    return S_OK;
  }

  const StreamPtr m_Stream;
};

}  // namespace

IAudioClient* NewAudioClient(EndpointPtr endpoint) {
  return new CSimAudioClient(std::move(endpoint));
}

}  // namespace halvern::simaudio
