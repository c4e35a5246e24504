// The capture endpoint of the virtual sound card: its thread takes every captured packet, scales
// and meters it in place, and hands it unconverted to every registered render endpoint.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/zub_thread_mutex.h"
#include "endpoints/audio_wasapi_base.h"
#include "processing/zub_audio_processor.h"

namespace halvern {

class CAudioRenderer;

class CAudioCapturer : public CAudioWASAPIBase {
 public:
  // Release of the peak meters, in dB per second.
  static constexpr double kMeterDecayDbPerSecond = 3.0;

  explicit CAudioCapturer(IMMDeviceEnumerator* enumerator);
  ~CAudioCapturer() override;

  HRESULT Shutdown() override;
  HRESULT Start() override;
  // Peaks of the meter processor in dB (floor -144); untouched until it exists.
  HRESULT GetChannelPeaks(float peaks[2]) override;
  HRESULT InitializeAudioEngine(std::uint32_t latencyMs) override;

  virtual HRESULT GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                            UINT64* qpcPosition);
  virtual HRESULT ReleaseBuffer(UINT32 frames);
  // Registration order is delivery order; a renderer registered twice gets every packet twice.
  virtual void AddRenderer(CAudioRenderer* renderer);
  // Removes every registration of the renderer.
  virtual void RemoveRenderer(CAudioRenderer* renderer);
  // In dB: the device's channel volume in shared mode, the processor's gains in exclusive mode.
  virtual HRESULT GetChannelGains(float gainsDb[2]);
  virtual HRESULT SetChannelGains(const float gainsDb[2]);

  // E_FAIL for a null endpoint, else runs its capture thread and returns 0.
  static DWORD WINAPI CaptureThreadProc(LPVOID endpoint);

 private:
  void CaptureThread();
  void CaptureLoop();
  void CaptureOnePacket();
  void Meter(BYTE* data, UINT32 frames);

  platform::TComPtr<IAudioCaptureClient> m_CaptureClient;
  std::vector<CAudioRenderer*> m_Renderers;
  CZubThreadMutex m_Mutex;
  // Created once by the capture thread, read by the API threads without a lock: it only ever
  // changes from null to a processor, and the atomic publishes it whole.
  std::atomic<CZubAudioProcessor*> m_Processor{nullptr};
};

}  // namespace halvern
