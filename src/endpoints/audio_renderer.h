// One playback device fed with the captured stream: a capture socket holding 100 ms of captured
// audio in the capture format, the conversion chain from there to the device format, and the
// render thread that pulls 20 ms from the chain each time the engine asks for data, into a buffer
// primed with silence at start so that a late capture packet does not leave the device dry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/counted_object.h"
#include "base/zub_thread_mutex.h"
#include "endpoints/audio_wasapi_base.h"
#include "graph/capture_socket.h"
#include "graph/sound_pull_socket.h"

namespace halvern {

class CAudioRenderer : public CAudioWASAPIBase {
 public:
  // The render thread moves 20 ms per period; the capture socket and the sample buffer hold five
  // such blocks.
  static constexpr std::int32_t kBlocksPerSecond = 50;
  static constexpr std::int32_t kBufferedBlocks = 5;

  explicit CAudioRenderer(IMMDeviceEnumerator* enumerator);
  ~CAudioRenderer() override;

  HRESULT Shutdown() override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT ConnectSource(const WAVEFORMATEX* source) override;
  HRESULT InitializeAudioEngine(std::uint32_t latencyMs) override;

  // Capture thread: one captured packet, in the capture format.
  virtual HRESULT PushSamples(const BYTE* data, std::uint32_t frames);
  virtual HRESULT GetBuffer(UINT32 frames, BYTE** data);
  virtual HRESULT ReleaseBuffer(UINT32 frames, DWORD flags);
  virtual HRESULT SetDefaultEndpoint(std::uint32_t role);
  virtual HRESULT SetVisible(bool visible);

  // E_FAIL for a null endpoint, else runs its render thread and returns 0.
  static DWORD WINAPI RenderThreadProc(LPVOID endpoint);

 private:
  void PrimeWithSilence();
  void RenderThread();
  void RenderLoop();
  // False when the thread must end.
  bool RenderOneBlock();

  platform::TComPtr<IAudioRenderClient> m_RenderClient;
  TCountedRef<CVxAudioCaptureSocket> m_CaptureSocket;
  CZubThreadMutex m_Mutex;
  TCountedRef<CSoundPullSocket> m_Chain;
  std::unique_ptr<std::uint8_t[]> m_SampleBuffer;
  std::size_t m_SampleBufferBytes = 0;
};

}  // namespace halvern
