#include "endpoints/audio_wasapi_base.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "base/zub_thread_mutex.h"
#include "endpoints/map_audio_error.h"
#include "endpoints/wave_format.h"
#include "platform/utf16.h"
#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {

namespace {

constexpr REFERENCE_TIME kHnsPerSecond = 10000000;
constexpr REFERENCE_TIME kHnsPerMs = 10000;
// The device period is cut to this before the caller's latency is added.
constexpr REFERENCE_TIME kMaxPeriodHns = 300000;
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
constexpr float kSilenceDb = -144.0f;

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

float LinearToDb(float linear) { return linear == 0.0f ? kSilenceDb : 20.0f * std::log10(linear); }

}  // namespace

CAudioWASAPIBase::CAudioWASAPIBase(IMMDeviceEnumerator* enumerator)
    : m_DeviceManager(std::make_unique<CDeviceManager>(enumerator)) {}

CAudioWASAPIBase::~CAudioWASAPIBase() {
  CTraceScope scope("CAudioWASAPIBase::~CAudioWASAPIBase");
  CAudioWASAPIBase::Shutdown();
  m_DeviceManager.reset();
}

HRESULT CAudioWASAPIBase::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IAudioSessionEvents) {
    *object = static_cast<IAudioSessionEvents*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CAudioWASAPIBase::AddRef() { return m_RefCount.fetch_add(1) + 1; }

ULONG CAudioWASAPIBase::Release() {
  const ULONG count = m_RefCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

void CAudioWASAPIBase::LogStreamingThreadException(const char* function) noexcept {
  try {
    throw;
  } catch (int error) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Thread ended by error %d", function, error);
  } catch (const std::exception& error) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Thread ended by exception: %s", function,
          error.what());
  } catch (...) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Thread ended by an unknown exception",
          function);
  }
}

HRESULT CAudioWASAPIBase::OnSessionDisconnected(AudioSessionDisconnectReason) {
  CTraceScope scope("CAudioWASAPIBase::OnSessionDisconnected");
  return S_OK;
}

HRESULT CAudioWASAPIBase::ActivateAudioClient() {
  return m_DeviceManager->Device()->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr,
                                             m_AudioClient.PutVoid());
}

HRESULT CAudioWASAPIBase::Initialize(bool sharedMode, std::uint32_t, std::uint32_t latencyMs,
                                     const WAVEFORMATEX* source) {
  CTraceScope scope("CAudioWASAPIBase::Initialize");
  m_SharedMode = sharedMode;
  if (!m_DeviceManager || m_DeviceManager->Device() == nullptr) return E_POINTER;
  const WCHAR* id = m_DeviceManager->DeviceId();
  HRESULT hr = ActivateAudioClient();
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - Unable to activate audio client for endpoint (%s): 0x%08X",
          "CAudioWASAPIBase::Initialize", id != nullptr ? platform::Utf16ToUtf8(id).c_str() : "",
          Hex(hr));
    return hr;
  }

  WAVEFORMATEXTENSIBLE format{};
  hr = CheckFormat(source, &format);
  if (hr == AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED) {
    hr = FallBackToDeviceFormat(format);
    if (FAILED(hr)) {
      MapAudioError("CAudioWASAPIBase::Initialize",
                    "Fallback (IPolicyConfig) failed. Use shared mode", hr);
      m_SharedMode = true;
      // Going on with the exclusive-mode format would only have the client refuse it: negotiate
      // afresh in shared mode, so that a device that refuses exclusive use still plays.
      format = WAVEFORMATEXTENSIBLE{};
      hr = CheckFormat(source, &format);
    }
  }
  if (hr == S_FALSE) m_SharedMode = true;  // the format holds the closest match
  if (SUCCEEDED(hr)) {
    m_Format = format;
    hr = ConnectSource(source);
    if (SUCCEEDED(hr)) m_ShutdownEvent.Reset(CreateEventExW(nullptr, nullptr, 0, kEventAccess));
  }

  m_AudioSamplesReadyEvent.Reset(CreateEventExW(nullptr, nullptr, 0, kEventAccess));
  if (!m_AudioSamplesReadyEvent) {
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - Unable to create samples ready event for endpoint (%s): %x",
          "CAudioWASAPIBase::Initialize", id != nullptr ? platform::Utf16ToUtf8(id).c_str() : "",
          Hex(E_FAIL));
    return E_FAIL;
  }
  hr = InitializeAudioEngine(latencyMs);
  if (SUCCEEDED(hr)) hr = m_AudioClient->SetEventHandle(m_AudioSamplesReadyEvent.Get());
  return hr;
}

HRESULT CAudioWASAPIBase::FallBackToDeviceFormat(const WAVEFORMATEXTENSIBLE& format) {
  CZubThreadMutexLock lock(m_DeviceManager->Mutex());
  if (m_DeviceManager->DeviceId() == nullptr) return E_POINTER;
  WAVEFORMATEXTENSIBLE requested = format;
  return m_DeviceManager->SetDeviceFormat(reinterpret_cast<WAVEFORMATEX*>(&requested));
}

HRESULT CAudioWASAPIBase::CheckFormat(const WAVEFORMATEX* requested, WAVEFORMATEXTENSIBLE* out) {
  CTraceScope scope("CAudioWASAPIBase::CheckFormat");
  if (!m_DeviceManager || !m_AudioClient || out == nullptr) return E_POINTER;
  const bool asked = requested != nullptr && requested->wFormatTag != 0;
  if (!m_SharedMode) {
    const WAVEFORMATEX* wanted = asked ? requested : m_DeviceManager->DeviceFormat();
    if (wanted == nullptr) return E_POINTER;
    CopyWaveFormat(wanted, out);
    return m_AudioClient->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                            reinterpret_cast<WAVEFORMATEX*>(out), nullptr);
  }
  if (asked) {
    platform::TCoTaskMem<WAVEFORMATEX> closest;
    const HRESULT hr =
        m_AudioClient->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, requested, closest.Put());
    if (hr == S_OK) CopyWaveFormat(requested, out);
    if (hr == S_FALSE) CopyWaveFormat(closest.Get(), out);
    if (FAILED(hr))
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Format is not supported: %x",
            "CAudioWASAPIBase::CheckFormat", Hex(hr));
    return hr;
  }
  platform::TCoTaskMem<WAVEFORMATEX> mix;
  const HRESULT hr = m_AudioClient->GetMixFormat(mix.Put());
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to get mix format: %x",
          "CAudioWASAPIBase::CheckFormat", Hex(hr));
    return hr;
  }
  CopyWaveFormat(mix.Get(), out);
  return hr;
}

HRESULT CAudioWASAPIBase::InitializeAudioEngine(std::uint32_t latencyMs) {
  CTraceScope scope("CAudioWASAPIBase::InitializeAudioEngine");
  if (!m_DeviceManager || m_DeviceManager->Device() == nullptr || !m_AudioClient) return E_POINTER;
  REFERENCE_TIME period = 0;
  HRESULT hr = m_AudioClient->GetDevicePeriod(&period, nullptr);
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - Unable to get audio client buffer duration: %x",
          "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
    return hr;
  }
  Trace(kTraceLevelDetail, kTraceAllContexts,
        "############### Start initialization of endpoint ###############");
  DumpEndpointInfo();

  // The latency product is a 32-bit quantity: it wraps, as the caller's arithmetic always did.
  const auto latencyHns =
      static_cast<std::int32_t>(latencyMs * static_cast<std::uint32_t>(kHnsPerMs));
  const REFERENCE_TIME duration = std::min(period, kMaxPeriodHns) + latencyHns;
  hr = InitializeClient(duration);
  if (!m_SharedMode && hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
    Trace(kTraceLevelDetail, kTraceAllContexts, "Buffers not aligned. Aligning the buffers...");
    UINT32 frames = 0;
    hr = m_AudioClient->GetBufferSize(&frames);
    if (FAILED(hr)) {
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to get audio client buffer: %x",
            "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
      return hr;
    }
    m_AudioClient.Reset();
    // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudioclient-initialize
    // (the aligned size comes back from GetBufferSize on the failed client).
    const double rate = m_Format.Format.nSamplesPerSec;
    const auto aligned = static_cast<REFERENCE_TIME>(
        std::llround(static_cast<double>(kHnsPerSecond) * frames / (rate > 0 ? rate : 1.0)));
    hr = ActivateAudioClient();
    if (FAILED(hr)) {
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to activate audio client: %x",
            "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
      return hr;
    }
    hr = InitializeClient(aligned);
    if (FAILED(hr)) {
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to reinitialize audio client: %x",
            "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
      return hr;
    }
  } else if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to initialize audio client: %x",
          "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
    return hr;
  }
  hr = m_AudioClient->GetBufferSize(&m_BufferFrameCount);
  if (FAILED(hr))
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to get audio client buffer: %x",
          "CAudioWASAPIBase::InitializeAudioEngine", Hex(hr));
  return hr;
}

HRESULT CAudioWASAPIBase::InitializeClient(REFERENCE_TIME duration) {
  // Shared mode takes the engine's period; exclusive event-driven streams want it equal to the
  // buffer duration.
  return m_AudioClient->Initialize(
      m_SharedMode ? AUDCLNT_SHAREMODE_SHARED : AUDCLNT_SHAREMODE_EXCLUSIVE, kStreamFlags, duration,
      m_SharedMode ? 0 : duration, reinterpret_cast<const WAVEFORMATEX*>(&m_Format), nullptr);
}

HRESULT CAudioWASAPIBase::SelectEndpoint(const WCHAR* endpointId) {
  return m_DeviceManager ? m_DeviceManager->SelectDevice(endpointId) : S_OK;
}

HRESULT CAudioWASAPIBase::Start() {
  CTraceScope scope("CAudioWASAPIBase::Start");
  HRESULT hr = S_OK;
  if (!m_Started) {
    if (!m_AudioClient) return E_POINTER;
    hr = m_AudioClient->Start();
    m_Started = SUCCEEDED(hr);
    if (FAILED(hr))
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to start audio client: %x",
            "CAudioWASAPIBase::Start", Hex(hr));
  }
  if (m_ShutdownEvent) ResetEvent(m_ShutdownEvent.Get());
  return hr;
}

bool CAudioWASAPIBase::EndThread(DWORD timeoutMs) {
  if (m_ShutdownEvent) SetEvent(m_ShutdownEvent.Get());
  if (!m_Thread) return true;
  if (WaitForSingleObject(m_Thread.Get(), timeoutMs) != WAIT_OBJECT_0) {
    // Closing the handle now would lose the only way to wait for the thread before the object
    // it runs on goes away; keep it for the next wait.
    Trace(kTraceLevelWarning, kTraceAllContexts, "%s() - Streaming thread still running",
          "CAudioWASAPIBase::Stop");
    return false;
  }
  m_Thread.Reset();
  return true;
}

HRESULT CAudioWASAPIBase::Stop() {
  CTraceScope scope("CAudioWASAPIBase::Stop");
  EndThread(kThreadStopTimeoutMs);
  if (!m_Started) return S_OK;
  if (!m_AudioClient) return E_POINTER;
  const HRESULT hr = m_AudioClient->Stop();
  if (FAILED(hr))
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to stop audio client: %x",
          "CAudioWASAPIBase::Stop", Hex(hr));
  m_Started = false;
  return hr;
}

HRESULT CAudioWASAPIBase::Shutdown() {
  CTraceScope scope("CAudioWASAPIBase::Shutdown");
  const HRESULT stopped = Stop();
  // The streaming thread waits on both events: it must be gone before they are closed.
  EndThread(INFINITE);
  BOOL lastClosed = FALSE;  // stays FALSE when there was nothing to close
  if (HANDLE event = m_AudioSamplesReadyEvent.Detach()) lastClosed = CloseHandle(event);
  if (HANDLE event = m_ShutdownEvent.Detach()) lastClosed = CloseHandle(event);
  m_AudioClient.Reset();
  if (FAILED(stopped)) return stopped;
  return lastClosed ? S_OK : E_FAIL;
}

WAVEFORMATEXTENSIBLE* CAudioWASAPIBase::GetFormat() { return &m_Format; }

std::uint32_t CAudioWASAPIBase::GetFrameSize() { return m_Format.Format.nBlockAlign; }

std::uint32_t CAudioWASAPIBase::GetBufferFrameCount() { return m_BufferFrameCount; }

CDeviceManager* CAudioWASAPIBase::GetDeviceManager() { return m_DeviceManager.get(); }

HRESULT CAudioWASAPIBase::GetChannelPeaks(float peaks[2]) {
  if (!m_DeviceManager) return E_POINTER;
  float linear[2] = {0.0f, 0.0f};
  const HRESULT hr = m_DeviceManager->GetMeterPeaks(linear);
  if (FAILED(hr)) return hr;
  for (int channel = 0; channel < 2; ++channel) peaks[channel] = LinearToDb(linear[channel]);
  return hr;
}

HRESULT CAudioWASAPIBase::GetVolumes(float volumes[2]) {
  if (!m_DeviceManager) return E_POINTER;
  for (std::uint32_t channel = 0; channel < 2; ++channel) {
    float levelDb = 0.0f;
    const HRESULT hr = m_DeviceManager->GetChannelVolumeDb(channel, &levelDb);
    if (FAILED(hr)) return hr;
    volumes[channel] = std::pow(10.0f, levelDb / 20.0f);
  }
  return S_OK;
}

HRESULT CAudioWASAPIBase::SetVolumes(const float volumes[2]) {
  const float levelsDb[2] = {LinearToDb(volumes[0]), LinearToDb(volumes[1])};
  return SetVolumesDb(levelsDb);
}

HRESULT CAudioWASAPIBase::GetVolumesDb(float levelsDb[2]) {
  if (!m_DeviceManager) return E_POINTER;
  for (std::uint32_t channel = 0; channel < 2; ++channel) {
    const HRESULT hr = m_DeviceManager->GetChannelVolumeDb(channel, &levelsDb[channel]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CAudioWASAPIBase::SetVolumesDb(const float levelsDb[2]) {
  if (!m_DeviceManager) return E_POINTER;
  for (std::uint32_t channel = 0; channel < 2; ++channel) {
    const HRESULT hr = m_DeviceManager->SetChannelVolumeDb(channel, levelsDb[channel]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CAudioWASAPIBase::ConnectSource(const WAVEFORMATEX*) { return S_FALSE; }

void CAudioWASAPIBase::DumpEndpointInfo() {
  if (!m_DeviceManager) return;
  constexpr const char* kRule = "---------------------------------------------------------";
  Trace(kTraceLevelDetail, kTraceAllContexts, "%s", kRule);
  m_DeviceManager->DumpDeviceInfo();
  Trace(kTraceLevelDetail, kTraceAllContexts, "Shared mode: %s", m_SharedMode ? "true" : "false");
  Trace(kTraceLevelDetail, kTraceAllContexts, "SampleRate : %d",
        static_cast<int>(m_Format.Format.nSamplesPerSec));
  Trace(kTraceLevelDetail, kTraceAllContexts, "%s", kRule);
}

}  // namespace halvern
