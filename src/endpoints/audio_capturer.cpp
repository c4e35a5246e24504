#include "endpoints/audio_capturer.h"

#include <algorithm>
#include <new>

#include "endpoints/audio_renderer.h"
#include "endpoints/wave_format.h"
#include "samples/sample_format.h"
#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {

namespace {

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

}  // namespace

CAudioCapturer::CAudioCapturer(IMMDeviceEnumerator* enumerator) : CAudioWASAPIBase(enumerator) {}

CAudioCapturer::~CAudioCapturer() {
  CTraceScope scope("CAudioCapturer::~CAudioCapturer");
  // The thread meters with the processor and walks the renderer list: both must outlive it.
  EndThread(INFINITE);
  {
    CZubThreadMutexLock lock(m_Mutex);
    m_Renderers.clear();
  }
  delete m_Processor.exchange(nullptr);
}

HRESULT CAudioCapturer::InitializeAudioEngine(std::uint32_t latencyMs) {
  CTraceScope scope("CAudioCapturer::InitializeAudioEngine");
  HRESULT hr = CAudioWASAPIBase::InitializeAudioEngine(latencyMs);
  if (FAILED(hr)) return hr;
  hr = AudioClient()->GetService(IID_IAudioCaptureClient, m_CaptureClient.PutVoid());
  if (FAILED(hr))
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to get new capture client: %x",
          "CAudioCapturer::InitializeAudioEngine", Hex(hr));
  return hr;
}

HRESULT CAudioCapturer::Start() {
  CTraceScope scope("CAudioCapturer::Start");
  if (m_Started) return S_OK;
  // Without its shutdown event the thread could never be told to end.
  if (!m_ShutdownEvent) return E_POINTER;
  EndThread(INFINITE);  // one that outlived an earlier Stop's wait
  const HRESULT hr = CAudioWASAPIBase::Start();
  if (FAILED(hr)) return hr;
  m_Thread.Reset(CreateThread(nullptr, 0, &CAudioCapturer::CaptureThreadProc, this, 0, nullptr));
  if (!m_Thread) {
    Trace(kTraceLevelError, kTraceAllContexts, "Unable to create capture thread: %x",
          static_cast<unsigned>(GetLastError()));
    return E_FAIL;
  }
  return hr;
}

HRESULT CAudioCapturer::Shutdown() {
  CTraceScope scope("CAudioCapturer::Shutdown");
  // The thread reads through the capture client until it has ended.
  EndThread(INFINITE);
  m_CaptureClient.Reset();
  return CAudioWASAPIBase::Shutdown();
}

HRESULT CAudioCapturer::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                  UINT64* qpcPosition) {
  if (!m_CaptureClient) return E_POINTER;
  return m_CaptureClient->GetBuffer(data, frames, flags, devicePosition, qpcPosition);
}

HRESULT CAudioCapturer::ReleaseBuffer(UINT32 frames) {
  if (!m_CaptureClient) return E_POINTER;
  return m_CaptureClient->ReleaseBuffer(frames);
}

void CAudioCapturer::AddRenderer(CAudioRenderer* renderer) {
  if (renderer == nullptr) return;
  CZubThreadMutexLock lock(m_Mutex);
  m_Renderers.push_back(renderer);
}

void CAudioCapturer::RemoveRenderer(CAudioRenderer* renderer) {
  if (renderer == nullptr) return;
  CZubThreadMutexLock lock(m_Mutex);
  m_Renderers.erase(std::remove(m_Renderers.begin(), m_Renderers.end(), renderer),
                    m_Renderers.end());
}

HRESULT CAudioCapturer::GetChannelPeaks(float peaks[2]) {
  if (peaks == nullptr) return E_POINTER;
  if (CZubAudioProcessor* processor = m_Processor.load(std::memory_order_acquire))
    for (int channel = 0; channel < 2; ++channel)
      peaks[channel] = static_cast<float>(processor->GetPeakDb(channel));
  return S_OK;
}

HRESULT CAudioCapturer::GetChannelGains(float gainsDb[2]) {
  if (IsSharedMode()) return GetVolumesDb(gainsDb);
  if (CZubAudioProcessor* processor = m_Processor.load(std::memory_order_acquire))
    for (int channel = 0; channel < 2; ++channel)
      gainsDb[channel] = static_cast<float>(processor->GetGainDb(channel));
  return S_OK;
}

HRESULT CAudioCapturer::SetChannelGains(const float gainsDb[2]) {
  if (IsSharedMode()) return SetVolumesDb(gainsDb);
  if (CZubAudioProcessor* processor = m_Processor.load(std::memory_order_acquire))
    for (int channel = 0; channel < 2; ++channel) processor->SetGainDb(gainsDb[channel], channel);
  return S_OK;
}

DWORD WINAPI CAudioCapturer::CaptureThreadProc(LPVOID endpoint) {
  auto* self = static_cast<CAudioCapturer*>(endpoint);
  if (self == nullptr) return static_cast<DWORD>(E_FAIL);
  self->CaptureThread();
  return 0;
}

void CAudioCapturer::CaptureThread() {
  // The guard ends the trace registration as the thread leaves, after MMCSS has been reverted.
  CQKTraceInit traceGuard(
      TraceInitEx(nullptr, kStreamingTraceOutput, nullptr, kStreamingTraceLevel, true));
  platform::CMmcssRegistration mmcss;
  if (const DWORD error = mmcss.Register(kMmcssTask); error != ERROR_SUCCESS)
    Trace(kTraceLevelWarning, kTraceAllContexts, "Unable to enable MMCSS on routing thread: %x",
          static_cast<unsigned>(error));
  try {
    CaptureLoop();
    mmcss.Revert();
    Trace(kTraceLevelDetail, kTraceAllContexts, "%s() - Thread stopped",
          "CAudioCapturer::CaptureThread");
  } catch (...) {
    LogStreamingThreadException("CAudioCapturer::CaptureThread");
  }
}

void CAudioCapturer::CaptureLoop() {
  const HANDLE events[2] = {m_ShutdownEvent.Get(), m_AudioSamplesReadyEvent.Get()};
  for (;;) {
    const DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) return;
    if (result == WAIT_OBJECT_0 + 1) {
      CaptureOnePacket();
      continue;
    }
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - WaitForMultipleObjects failed (%x)",
          "CAudioCapturer::CaptureThread", static_cast<unsigned>(GetLastError()));
    Sleep(kWaitFailurePauseMs);
  }
}

void CAudioCapturer::CaptureOnePacket() {
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  const HRESULT hr = GetBuffer(&data, &frames, &flags, nullptr, nullptr);
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() -Unable to get capture buffer: %x",
          "CAudioCapturer::CaptureThread", Hex(hr));
    return;
  }
  // Silent and discontinuous packets are metered and delivered like any other.
  Meter(data, frames);
  {
    CZubThreadMutexLock lock(m_Mutex);
    for (CAudioRenderer* renderer : m_Renderers) renderer->PushSamples(data, frames);
  }
  ReleaseBuffer(frames);
}

void CAudioCapturer::Meter(BYTE* data, UINT32 frames) {
  CZubAudioProcessor* processor = m_Processor.load(std::memory_order_relaxed);
  if (processor == nullptr) {
    const WAVEFORMATEX& format = m_Format.Format;
    const std::int32_t code = MeterSampleFormatCode(format);
    if (code == kFormatUnknown) return;  // no meter for this bit depth; the next packet retries
    // The one allocation of the capture thread, on its first packet.
    processor = new (std::nothrow) CZubAudioProcessor(static_cast<std::uint32_t>(code),
                                                      format.nChannels, format.nSamplesPerSec);
    if (processor == nullptr) return;
    processor->SetDecay(kMeterDecayDbPerSecond);
    m_Processor.store(processor, std::memory_order_release);
  }
  processor->Process(data, frames * GetFrameSize());
}

}  // namespace halvern
