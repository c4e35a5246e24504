// The process-wide simulated audio system: endpoints, default roles, the engine thread that drives
// every started stream by its endpoint's clock, the notification thread, and fault injection.
//
// Lock order: the system mutex, then a stream's mutex, then an endpoint's I/O mutex, then the
// fault mutex. Callbacks into client code (notification clients, sources, sinks) never run under
// the system mutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/simaudio/sim_audio.h"

namespace halvern::simaudio {

constexpr int kMaxMeterChannels = 8;
constexpr REFERENCE_TIME kHnsPerSecond = 10000000;

// Bytes of a format record: 18 plus its extension, at most a WAVEFORMATEXTENSIBLE.
size_t FormatBytes(const WAVEFORMATEX& format);
WAVEFORMATEX* CopyFormatToTaskMem(const WAVEFORMATEXTENSIBLE& format);
// A record whose fields contradict each other (block size, byte rate, extension) is malformed;
// a well-formed one may still describe samples the engine cannot carry.
bool IsWellFormedFormat(const WAVEFORMATEX& format);
bool IsSupportedFormat(const WAVEFORMATEX& format);
inline bool IsValidFormat(const WAVEFORMATEX& format) {
  return IsWellFormedFormat(format) && IsSupportedFormat(format);
}
bool IsFloatFormat(const WAVEFORMATEX& format);
// Per-channel peaks (0..1) of `frames` frames; `peaks` has room for kMaxMeterChannels.
void MeasurePeaks(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format, float* peaks);
// Multiplies each channel by its gain (kMaxMeterChannels of them), rounding and clipping integers.
void ScaleSamples(BYTE* data, UINT32 frames, const WAVEFORMATEX& format, const float* gains);

// Strict mode: whether the calling thread is inside a notification callback, and the record of
// what it must not do there.
bool InNotificationCallback();
void RecordCallbackBreach(std::string_view what);

class CSimStream;

class CSimEndpoint {
 public:
  CSimEndpoint(const EndpointDesc& desc, std::uint64_t order);

  // Set at creation; read without a lock.
  const std::u16string m_Id;
  const EDataFlow m_Flow;
  const std::uint64_t m_Order;

  // Guarded by the system mutex.
  DWORD m_PresentState;  // ACTIVE, UNPLUGGED or NOTPRESENT
  bool m_Visible;
  bool m_Removed = false;
  std::u16string m_InterfaceName, m_FriendlyName, m_Description;
  UINT32 m_FormFactor;
  WAVEFORMATEXTENSIBLE m_DeviceFormat, m_DefaultDeviceFormat, m_MixFormat;
  REFERENCE_TIME m_DefaultPeriod, m_MinimumPeriod;
  float m_VolumeMinDb, m_VolumeMaxDb, m_VolumeStepDb;
  float m_MasterDb;
  std::vector<float> m_ChannelDb;
  bool m_Muted = false;
  INT m_ShareMode = 0;
  std::optional<HRESULT> m_ExclusiveAnswer;
  UINT32 m_ExclusiveAlignment = 0;
  UINT32 m_SharedStreams = 0;
  UINT32 m_ExclusiveStreams = 0;
  EngineBehaviour m_Engine;
  // The endpoint clock: device time = anchor + (real − real anchor) × (1 + skew).
  double m_SkewPpm;
  std::int64_t m_AnchorRealNs;
  double m_AnchorDeviceNs;

  DWORD State() const;  // under the system mutex
  double DeviceNsAt(std::int64_t realNs) const;
  std::int64_t RealNsAt(double deviceNs) const;
  // Under the system mutex, after any change of volume or mute.
  void UpdateGainsLocked();

  // Bumped whenever the endpoint stops being active or is removed: streams opened before that
  // are invalidated for good, as on Windows.
  std::atomic<std::uint32_t> m_Generation{0};

  // Linear per-channel gains of the software volume, mute included, for the engine thread.
  std::atomic<float> m_Gains[kMaxMeterChannels];

  // Every stream of the endpoint, for InvalidateStreams; a leaf lock.
  std::mutex m_StreamsMutex;
  std::vector<CSimStream*> m_Streams;

  // Sources and sinks; the engine calls them under this mutex.
  std::mutex m_IoMutex;
  CaptureSource m_Source;
  RenderSink m_Sink;

  // Meter: peaks of the last period of any stream, and when they were taken.
  std::atomic<float> m_Peaks[kMaxMeterChannels];
  std::atomic<std::int64_t> m_PeaksRealNs{0};

  std::atomic<std::uint64_t> m_Periods{0}, m_FramesRendered{0}, m_FramesCaptured{0}, m_Underruns{0},
      m_Overflows{0};
};

using EndpointPtr = std::shared_ptr<CSimEndpoint>;

// Under the system mutex: a new device format restarts the endpoint, invalidating open streams,
// and raises the device-format property notification.
void ChangeFormatLocked(CSimEndpoint& ep, const WAVEFORMATEXTENSIBLE& device,
                        const WAVEFORMATEXTENSIBLE& mix);

// The state of one audio client's stream. The COM faces hold it; the engine holds started ones.
class CSimStream {
 public:
  explicit CSimStream(EndpointPtr endpoint);
  ~CSimStream();
  CSimStream(const CSimStream&) = delete;
  CSimStream& operator=(const CSimStream&) = delete;

  const EndpointPtr m_Endpoint;
  std::mutex m_Mutex;

  // Everything below is guarded by m_Mutex.
  bool m_Initialized = false;
  bool m_InitializeFailed = false;  // Windows may refuse every later Initialize of the client
  bool m_Started = false;
  bool m_EventDriven = false;
  bool m_Exclusive = false;
  std::uint32_t m_Generation = 0;
  WAVEFORMATEXTENSIBLE m_Format{};
  UINT32 m_BlockAlign = 0;
  REFERENCE_TIME m_PeriodHns = 0;
  // One period in frames × 10^7 (exact for rates that do not divide the period) and in ns.
  std::uint64_t m_PeriodScaled = 0;
  double m_PeriodNs = 0.0;
  UINT32 m_BufferFrames = 0;
  UINT32 m_AlignedFrames = 0;  // reported by GetBufferSize after AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED
  UINT32 m_SlotFrames = 0;     // the largest period in frames
  HANDLE m_Event = nullptr;    // retained kernel object
  // Engine behaviour taken at Start.
  bool m_NoisySilence = false;
  bool m_SoftwareVolume = false;

  // Engine position.
  std::uint64_t m_Tick = 0;      // periods processed since the last Reset
  std::uint64_t m_Position = 0;  // frames processed since the last Reset
  // Device time of the next period while started; guarded by the system mutex, not m_Mutex.
  double m_NextTickDeviceNs = 0.0;

  // Render: a ring of m_BufferFrames frames and the staging area GetBuffer hands out.
  std::vector<BYTE> m_Ring;
  UINT32 m_RingRead = 0;
  UINT32 m_Padding = 0;
  std::vector<BYTE> m_Staging;
  bool m_BufferOut = false;
  bool m_EmptyOut = false;  // capture: an empty GetBuffer may be followed by ReleaseBuffer(0)
  UINT32 m_Requested = 0;

  // Capture: a queue of whole packets.
  struct Packet {
    UINT32 frames;
    DWORD flags;
    UINT64 position;
    UINT64 qpc;
  };
  std::vector<BYTE> m_Slots;
  std::vector<Packet> m_Packets;
  size_t m_Head = 0;
  size_t m_Count = 0;
  bool m_Discontinuity = false;

  std::vector<BYTE> m_Scratch;  // one period for the render sink

  bool IsRender() const { return m_Endpoint->m_Flow == eRender; }
  // S_OK, or the error every call on a broken stream returns; lock free.
  HRESULT Error() const;
  void Break(HRESULT reason);
  UINT32 FramesOfTick(std::uint64_t tick) const;
  UINT32 QueuedCaptureFrames() const;
  void Flush();
  // One engine period; returns false when the stream can no longer run.
  bool ProcessPeriod(std::int64_t realNs);

 private:
  void RenderPeriod(UINT32 frames, float* peaks);
  void CapturePeriod(UINT32 frames, std::int64_t realNs, float* peaks);
  std::atomic<HRESULT> m_Error{S_OK};
};

using StreamPtr = std::shared_ptr<CSimStream>;

class CSimAudioSystem {
 public:
  static CSimAudioSystem& Get();

  std::mutex& Mutex() { return m_Mutex; }

  // Under the system mutex.
  EndpointPtr FindLocked(std::u16string_view id) const;
  std::vector<EndpointPtr> EndpointsLocked() const;  // in order of addition
  std::u16string& DefaultLocked(EDataFlow flow, ERole role) {
    return m_Defaults[flow == eCapture ? 1 : 0][role];
  }
  void ReelectDefaultsLocked(const EndpointPtr& endpoint);
  void FillDefaultsLocked(const EndpointPtr& endpoint);
  void ChangeStateLocked(const EndpointPtr& endpoint, DWORD presentState, bool visible);
  void SetDefaultLocked(EDataFlow flow, ERole role, std::u16string_view id);

  HRESULT Add(const EndpointDesc& desc);
  HRESULT Remove(std::u16string_view id);
  void ResetAll();

  // Streams.
  HRESULT StartStream(const StreamPtr& stream);  // stream mutex not held by the caller
  void StopStream(const StreamPtr& stream);
  std::int64_t NowNs() const;

  // Notifications.
  void PostLocked(Notification notification);
  void Post(Notification notification);
  HRESULT Register(IMMNotificationClient* client);
  HRESULT Unregister(IMMNotificationClient* client);
  bool WaitForNotifications(DWORD milliseconds);
  size_t RegisteredClients();

  // Strict mode.
  std::atomic<bool> m_Strict{true};
  void RecordBreach(std::string what);
  std::vector<std::string> Breaches();

  // Faults.
  HRESULT Fault(std::u16string_view id, std::string_view method);
  HRESULT InjectFault(std::u16string_view id, std::string_view method, HRESULT hr, int count,
                      DWORD thread);
  int FaultsFired(std::u16string_view id, std::string_view method);
  void ClearFaults();

  std::atomic<unsigned> m_PolicyInterfaces{7};

 private:
  CSimAudioSystem();
  void EngineLoop();
  void NotificationLoop();
  void Deliver(const Notification& n, std::uint64_t sequence);

  std::mutex m_Mutex;
  std::vector<EndpointPtr> m_Endpoints;
  std::uint64_t m_NextOrder = 0;
  std::u16string m_Defaults[2][3];

  std::vector<StreamPtr> m_Started;
  std::condition_variable m_EngineWake;
  std::thread m_Engine;

  // The queue and the registrations; a leaf beside the system mutex.
  std::mutex m_NotifyMutex;
  std::condition_variable m_NotifyChanged;
  struct Queued {
    Notification notification;
    std::uint64_t sequence;
  };
  struct Registration {
    IMMNotificationClient* client;
    std::uint64_t id;
    std::uint64_t since;  // notifications up to this sequence were raised before it registered
  };
  std::deque<Queued> m_Queue;
  std::vector<Registration> m_Clients;
  std::uint64_t m_NextRegistration = 0;
  IMMNotificationClient* m_Calling = nullptr;  // the client inside a callback now
  std::uint64_t m_Posted = 0, m_Delivered = 0;
  std::thread m_Notifier;

  std::mutex m_BreachMutex;
  std::vector<std::string> m_Breaches;

  struct FaultEntry {
    std::u16string id;
    std::string method;
    HRESULT hr;
    int remaining;  // negative: until cleared; 0: spent
    int fired;
    DWORD thread;  // 0: any thread
  };
  std::mutex m_FaultMutex;
  std::atomic<int> m_FaultCount{0};  // entries not spent yet
  std::vector<FaultEntry> m_Faults;
};

}  // namespace halvern::simaudio
