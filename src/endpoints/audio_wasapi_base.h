// One audio endpoint opened through WASAPI: device selection, format negotiation, event-driven
// client set-up with a buffer of one device period (at most 30 ms) plus the caller's latency, and
// the start/stop/shutdown life cycle. The capture and render endpoints add a streaming thread and
// the data path. It is a COM object (IAudioSessionEvents) because Windows may call it back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "devices/device_manager.h"
#include "platform/scoped_resources.h"
#include "platform/win32.h"

namespace halvern {

class CAudioWASAPIBase : public IAudioSessionEvents {
 public:
  // Stop waits this long for the streaming thread before it stops the client.
  static constexpr DWORD kThreadStopTimeoutMs = 1000;

  explicit CAudioWASAPIBase(IMMDeviceEnumerator* enumerator);
  CAudioWASAPIBase(const CAudioWASAPIBase&) = delete;
  CAudioWASAPIBase& operator=(const CAudioWASAPIBase&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IAudioSessionEvents: nothing to do; device removal arrives through the device notifications.
  HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason) override;

  virtual ~CAudioWASAPIBase();

  // Negotiates the format (the source format is the one to ask for; null: the device decides),
  // builds the data path, creates the events and initialises the client. The second argument is
  // not used.
  virtual HRESULT Initialize(bool sharedMode, std::uint32_t unused, std::uint32_t latencyMs,
                             const WAVEFORMATEX* source);
  virtual HRESULT SelectEndpoint(const WCHAR* endpointId);
  virtual HRESULT Shutdown();
  virtual HRESULT Start();
  virtual HRESULT Stop();
  virtual WAVEFORMATEXTENSIBLE* GetFormat();
  virtual std::uint32_t GetFrameSize();
  virtual std::uint32_t GetBufferFrameCount();
  virtual CDeviceManager* GetDeviceManager();
  // Channels 0 and 1. Peaks in dB from the device meter; volumes linear or in dB.
  virtual HRESULT GetChannelPeaks(float peaks[2]);
  virtual HRESULT GetVolumes(float volumes[2]);
  virtual HRESULT SetVolumes(const float volumes[2]);
  virtual HRESULT GetVolumesDb(float levelsDb[2]);
  virtual HRESULT SetVolumesDb(const float levelsDb[2]);
  // Hook for the render endpoint's conversion chain; the base has nothing to connect.
  virtual HRESULT ConnectSource(const WAVEFORMATEX* source);
  virtual void DumpEndpointInfo();
  virtual HRESULT InitializeAudioEngine(std::uint32_t latencyMs);
  virtual HRESULT CheckFormat(const WAVEFORMATEX* requested, WAVEFORMATEXTENSIBLE* out);

 protected:
  // The streaming threads run as MMCSS task "Audio" and trace to the debugger output at the
  // process's level (warnings and errors when they are the process's first traced thread).
  static constexpr WCHAR kMmcssTask[] = {'A', 'u', 'd', 'i', 'o', 0};
  static constexpr std::uint32_t kStreamingTraceOutput = 1;
  static constexpr int kStreamingTraceLevel = 3;
  // After a failed wait a streaming thread pauses this long before it waits again.
  static constexpr DWORD kWaitFailurePauseMs = 100;

  // Inside a catch block of a streaming thread: writes the one line that says why it ended. The
  // graph throws plain integers; anything else is reported by kind.
  static void LogStreamingThreadException(const char* function) noexcept;

  // Signals the shutdown event and waits up to `timeoutMs` for the streaming thread; the handle is
  // closed once the thread has ended. False while it still runs.
  bool EndThread(DWORD timeoutMs);
  bool IsSharedMode() const { return m_SharedMode; }
  IAudioClient* AudioClient() const { return m_AudioClient.Get(); }

  std::unique_ptr<CDeviceManager> m_DeviceManager;
  platform::TComPtr<IAudioClient> m_AudioClient;
  std::atomic<ULONG> m_RefCount{1};
  WAVEFORMATEXTENSIBLE m_Format{};
  std::uint32_t m_BufferFrameCount = 0;
  bool m_Started = false;
  bool m_SharedMode = true;
  platform::CScopedHandle m_AudioSamplesReadyEvent;
  platform::CScopedHandle m_ShutdownEvent;
  platform::CScopedHandle m_Thread;

 private:
  HRESULT ActivateAudioClient();
  HRESULT FallBackToDeviceFormat(const WAVEFORMATEXTENSIBLE& format);
  HRESULT InitializeClient(REFERENCE_TIME duration);
};

}  // namespace halvern
