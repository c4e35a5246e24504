#include "endpoints/audio_renderer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "endpoints/wave_format.h"
#include "graph/chain_settings.h"
#include "graph/frames.h"
#include "graph/tag_list.h"
#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {

namespace {

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// Handles are printed the way the system's own lines print them: the low 32 bits in hex.
unsigned HandleBits(HANDLE handle) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace

CAudioRenderer::CAudioRenderer(IMMDeviceEnumerator* enumerator) : CAudioWASAPIBase(enumerator) {}

CAudioRenderer::~CAudioRenderer() {
  CTraceScope scope("CAudioRenderer::~CAudioRenderer");
  // The thread pulls the chain into the sample buffer: both must outlive it.
  EndThread(INFINITE);
  CZubThreadMutexLock lock(m_Mutex);
  m_SampleBuffer.reset();
}

HRESULT CAudioRenderer::InitializeAudioEngine(std::uint32_t latencyMs) {
  CTraceScope scope("CAudioRenderer::InitializeAudioEngine");
  if (AudioClient() == nullptr) return E_POINTER;
  HRESULT hr = CAudioWASAPIBase::InitializeAudioEngine(latencyMs);
  if (FAILED(hr)) return hr;
  hr = AudioClient()->GetService(IID_IAudioRenderClient, m_RenderClient.PutVoid());
  if (FAILED(hr))
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to get new render client: %x",
          "CAudioRenderer::InitializeAudioEngine", Hex(hr));
  return hr;
}

HRESULT CAudioRenderer::ConnectSource(const WAVEFORMATEX* source) {
  if (m_Format.Format.wFormatTag == 0) {
    if (!m_DeviceManager || m_DeviceManager->DeviceFormat() == nullptr) return E_POINTER;
    CopyWaveFormat(m_DeviceManager->DeviceFormat(), &m_Format);
  }
  if (source == nullptr) return E_POINTER;
  const CSoundTraits sourceTraits(StreamSampleFormatCode(*source), source->nChannels,
                                  static_cast<std::int32_t>(source->nSamplesPerSec));
  const CSoundTraits renderTraits(StreamSampleFormatCode(m_Format.Format),
                                  m_Format.Format.nChannels,
                                  static_cast<std::int32_t>(m_Format.Format.nSamplesPerSec));

  CZubThreadMutexLock lock(m_Mutex);
  m_SampleBuffer.reset();
  m_SampleBufferBytes = 0;
  m_Chain.Drop();
  try {
    const std::int32_t sourceBlock = sourceTraits.sampleRate / kBlocksPerSecond;
    m_CaptureSocket = new CVxAudioCaptureSocket(sourceTraits, kBufferedBlocks * sourceBlock);
    m_Chain =
        m_CaptureSocket->ConvertTo(renderTraits, RenderChainSettings(sourceTraits.sampleRate));
  } catch (int error) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to build conversion chain: %d",
          "CAudioRenderer::ConnectSource", error);
  } catch (...) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to build conversion chain",
          "CAudioRenderer::ConnectSource");
  }
  if (!m_Chain) return E_FAIL;

  const auto bytes = static_cast<std::size_t>(m_Chain->frameSize) *
                     static_cast<std::size_t>(m_Chain->sampleRate / kBlocksPerSecond) *
                     kBufferedBlocks;
  m_SampleBuffer.reset(new (std::nothrow) std::uint8_t[bytes]);
  if (!m_SampleBuffer) return E_FAIL;
  m_SampleBufferBytes = bytes;
  return S_OK;
}

HRESULT CAudioRenderer::Start() {
  CTraceScope scope("CAudioRenderer::Start");
  if (!m_RenderClient || !m_ShutdownEvent || !m_AudioSamplesReadyEvent) return E_POINTER;
  if (m_Started) return S_OK;
  // Two threads must never share the endpoint: one that outlived an earlier Stop ends first.
  EndThread(INFINITE);
  PrimeWithSilence();
  const HRESULT hr = CAudioWASAPIBase::Start();
  if (FAILED(hr)) return hr;
  m_Thread.Reset(CreateThread(nullptr, 0, &CAudioRenderer::RenderThreadProc, this, 0, nullptr));
  if (!m_Thread) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to create render thread: %x",
          "CAudioRenderer::Start", static_cast<unsigned>(GetLastError()));
    return E_FAIL;
  }
  return hr;
}

// The thread writes a block whenever the capture side has one and never reads the padding, so
// the buffer's level stays about where it starts. Started empty, it runs dry at the first late
// capture packet; it is filled so that the level before each write sits midway between empty and
// the room a block needs. Loading the buffer before IAudioClient::Start is what Microsoft's render
// example does (learn.microsoft.com, "Rendering a Stream"). An exclusive-mode buffer is one period,
// written whole by the engine's rules: it is left alone.
void CAudioRenderer::PrimeWithSilence() {
  IAudioClient* client = AudioClient();
  if (!IsSharedMode() || client == nullptr || !m_Chain) return;
  const auto block = static_cast<UINT32>(m_Chain->sampleRate / kBlocksPerSecond);
  const UINT32 target = std::min(m_BufferFrameCount, (m_BufferFrameCount + block) / 2);
  UINT32 padding = 0;
  BYTE* data = nullptr;
  HRESULT hr = client->GetCurrentPadding(&padding);
  if (SUCCEEDED(hr) && padding >= target) return;
  if (SUCCEEDED(hr)) hr = GetBuffer(target - padding, &data);
  if (SUCCEEDED(hr)) hr = ReleaseBuffer(target - padding, AUDCLNT_BUFFERFLAGS_SILENT);
  if (FAILED(hr))
    Trace(kTraceLevelWarning, kTraceAllContexts, "%s() - Unable to prime the render buffer: %x",
          "CAudioRenderer::Start", Hex(hr));
}

HRESULT CAudioRenderer::Stop() {
  CTraceScope scope("CAudioRenderer::Stop");
  return CAudioWASAPIBase::Stop();
}

HRESULT CAudioRenderer::Shutdown() {
  CTraceScope scope("CAudioRenderer::Shutdown");
  // The thread writes through the render client until it has ended.
  EndThread(INFINITE);
  m_RenderClient.Reset();
  return CAudioWASAPIBase::Shutdown();
}

HRESULT CAudioRenderer::PushSamples(const BYTE* data, std::uint32_t frames) {
  if (!m_CaptureSocket) return E_FAIL;
  std::int64_t count = frames;
  m_CaptureSocket->Write(data, count);
  return S_OK;
}

HRESULT CAudioRenderer::GetBuffer(UINT32 frames, BYTE** data) {
  if (!m_RenderClient) return E_POINTER;
  return m_RenderClient->GetBuffer(frames, data);
}

HRESULT CAudioRenderer::ReleaseBuffer(UINT32 frames, DWORD flags) {
  if (!m_RenderClient) return E_POINTER;
  return m_RenderClient->ReleaseBuffer(frames, flags);
}

HRESULT CAudioRenderer::SetDefaultEndpoint(std::uint32_t role) {
  CTraceScope scope("CAudioRenderer::SetDefaultEndpoint");
  return m_DeviceManager ? m_DeviceManager->SetDefaultEndpoint(role) : E_POINTER;
}

HRESULT CAudioRenderer::SetVisible(bool visible) {
  CTraceScope scope("CAudioRenderer::SetVisible");
  return m_DeviceManager ? m_DeviceManager->SetVisible(visible) : E_POINTER;
}

DWORD WINAPI CAudioRenderer::RenderThreadProc(LPVOID endpoint) {
  auto* self = static_cast<CAudioRenderer*>(endpoint);
  if (self == nullptr) return static_cast<DWORD>(E_FAIL);
  self->RenderThread();
  return 0;
}

void CAudioRenderer::RenderThread() {
  // The guard ends the trace registration as the thread leaves, after MMCSS has been reverted.
  CQKTraceInit traceGuard(
      TraceInitEx(nullptr, kStreamingTraceOutput, nullptr, kStreamingTraceLevel, true));
  platform::CMmcssRegistration mmcss;
  if (const DWORD error = mmcss.Register(kMmcssTask); error != ERROR_SUCCESS)
    Trace(kTraceLevelWarning, kTraceAllContexts,
          "%s() - Unable to enable MMCSS on routing thread: %d", "CAudioRenderer::RenderThread",
          static_cast<int>(error));
  try {
    RenderLoop();
  } catch (...) {
    LogStreamingThreadException("CAudioRenderer::RenderThread");
  }
}

void CAudioRenderer::RenderLoop() {
  const HANDLE events[2] = {m_ShutdownEvent.Get(), m_AudioSamplesReadyEvent.Get()};
  for (;;) {
    const DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) return;
    if (result == WAIT_OBJECT_0 + 1) {
      if (!RenderOneBlock()) return;
      continue;
    }
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - WaitForMultipleObjects failed (%x), result (%d), m_ShutdownEvent: %x, "
          "m_AudioSamplesReadyEvent: %x",
          "CAudioRenderer::RenderThread", static_cast<unsigned>(GetLastError()),
          static_cast<int>(result), HandleBits(events[0]), HandleBits(events[1]));
    Sleep(kWaitFailurePauseMs);
  }
}

bool CAudioRenderer::RenderOneBlock() {
  if (!m_SampleBuffer || !m_Chain) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - No sample buffer",
          "CAudioRenderer::RenderThread");
    return false;
  }
  const std::int64_t frames = m_Chain->sampleRate / kBlocksPerSecond;
  std::int64_t got = 0;
  {
    CTagList tags;
    {
      // Held for the whole pull, including the capture socket's wait for captured audio.
      CZubThreadMutexLock lock(m_Mutex);
      got = m_Chain->Pull(CDataBlock{{m_Chain->frameSize, 1}, m_SampleBuffer.get()}, frames,
                          kUnspecifiedFrames, tags);
    }
  }
  BYTE* data = nullptr;
  // A block the endpoint buffer has no room for is dropped.
  if (FAILED(GetBuffer(static_cast<UINT32>(got), &data))) return true;
  const std::size_t bytes =
      std::min(static_cast<std::size_t>(got) * GetFrameSize(), m_SampleBufferBytes);
  if (bytes != 0 && data != nullptr) std::memcpy(data, m_SampleBuffer.get(), bytes);
  const HRESULT hr = ReleaseBuffer(static_cast<UINT32>(got), 0);
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to release render buffer: %x",
          "CAudioRenderer::RenderThread", Hex(hr));
    return false;
  }
  return true;
}

}  // namespace halvern
