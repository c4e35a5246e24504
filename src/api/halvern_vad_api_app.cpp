#include "api/halvern_vad_api_app.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "devices/device_manager.h"
#include "devices/endpoint_info.h"
#include "endpoints/map_audio_error.h"
#include "platform/scoped_resources.h"
#include "trace/host_trace.h"
#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {
namespace {

constexpr char kAudiorouterError[] = "Audiorouter ERROR";
const WCHAR* const kVirtualCardName = reinterpret_cast<const WCHAR*>(u"Halvern Sound Capture");

bool NamesVirtualCard(const WCHAR* interfaceName) {
  const std::basic_string_view<WCHAR> name(interfaceName, platform::Utf16Length(interfaceName));
  return name.find(kVirtualCardName) != std::basic_string_view<WCHAR>::npos;
}

// The exports that reach the router register the calling thread for tracing while they run.
int RegisterCaller() { return TraceInitEx(nullptr, 0, nullptr, kTraceLevelWarning, true); }

}  // namespace

CHalvernVADApiApp::~CHalvernVADApiApp() { Close(); }

void CHalvernVADApiApp::Close() {
  m_Delegate.store(nullptr);
  m_Router.SetDeviceEventHandler(nullptr);
  m_Router.Close();
}

std::int32_t CHalvernVADApiApp::Initialize(const WCHAR* logPath) {
  HostTraceSetLogPath(logPath);
  constexpr std::uint32_t kDebuggerAndFile = 5;
  TraceInitEx(nullptr, kDebuggerAndFile, logPath, kTraceLevelError, true);
  m_DeviceEventHandler = [this](const WCHAR* id, std::int32_t event, bool flag,
                                std::int32_t value) { HandleDeviceEvent(id, event, flag, value); };
  m_Router.SetDeviceEventHandler(m_DeviceEventHandler);
  return 0;
}

std::uint32_t CHalvernVADApiApp::StartCapturer(std::uint32_t latencyMs) {
  CQKTraceInit trace(RegisterCaller());
  constexpr char kFunction[] = "CHalvernVADApiApp::StartCapturer";
  if (m_Started) return ResultOk;
  // A latency the router refuses would be refused 60 times over a minute.
  if (latencyMs > CAudioRouter::kMaxLatencyMs) return m_Router.AddDevice(nullptr, true, latencyMs);
  std::uint32_t code = ResultCaptureDevice;
  for (int attempt = 0; attempt < kCaptureLookups; ++attempt) {
    EndpointInfo info{};
    if (SUCCEEDED(CDeviceManager::FindDeviceByName(true, kVirtualCardName, &info))) {
      code = m_Router.AddDevice(info.id, true, latencyMs);
      if (code == ResultOk) break;
    } else {
      code = ResultCaptureDevice;
    }
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - Waiting for virtual audio device to come up (%d tries)", kFunction, attempt);
    Sleep(m_LookupPauseMs);
  }
  if (code == ResultCaptureDevice) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Opening virtual audio device failed",
          kFunction);
  } else if (SUCCEEDED(m_Router.Start())) {
    m_Started = true;
  }
  return code;
}

std::uint32_t CHalvernVADApiApp::AddDevice(const WCHAR* endpointId, std::uint32_t latencyMs) {
  CQKTraceInit trace(RegisterCaller());
  return m_Router.AddDevice(endpointId, false, latencyMs);
}

std::uint32_t CHalvernVADApiApp::RemoveDevice(const WCHAR* endpointId) {
  return m_Router.RemoveDevice(endpointId);
}

std::uint32_t CHalvernVADApiApp::EnableRouting(bool enable, bool stopCapture) {
  CQKTraceInit trace(RegisterCaller());
  if (enable) return m_Router.Start() < 0 ? ResultRouter : ResultOk;
  m_Router.Shutdown(stopCapture);
  return ResultOk;
}

std::uint32_t CHalvernVADApiApp::ConfigureDeviceEndpoint(const DeviceEndpointRecord* record) {
  return MapAudioError("CHalvernVADApiApp::ConfigureDeviceEndpoint", kAudiorouterError,
                       m_Router.ConfigureEndpoint(record));
}

std::uint32_t CHalvernVADApiApp::SetKovraPlaybackDefaultDevice(bool communications) {
  DeviceEndpointRecord record{};
  std::memcpy(record.interfaceName, kVirtualCardName,
              (platform::Utf16Length(kVirtualCardName) + 1) * sizeof(WCHAR));
  record.dataFlow = DataFlowRender;
  record.isDefault = 1;
  record.role = communications ? RoleCommunications : RoleConsole;
  record.visible = 1;
  return MapAudioError("CHalvernVADApiApp::SetKovraPlaybackDefaultDevice", kAudiorouterError,
                       m_Router.ConfigureEndpoint(&record));
}

bool CHalvernVADApiApp::GetAudioDevices(bool capture) {
  EndpointMap endpoints;
  if (FAILED(CDeviceManager::EnumerateEndpoints(&endpoints, capture, true, 0))) return false;
  if (FAILED(CDeviceManager::EnumerateEndpoints(&endpoints, capture, false, 0))) return false;
  std::vector<DeviceEndpointRecord> records(endpoints.size());
  std::uint32_t count = 0;
  for (const auto& [id, info] : endpoints) {
    if (NamesVirtualCard(info.interfaceName)) continue;
    DeviceEndpointRecord& record = records[count++];
    ConvertEndpointInfo(&info, &record);
    record.dataFlow = capture ? DataFlowCapture : DataFlowRender;
  }
  DeviceList list{count, 0, records.data()};
  Deliver(capture ? InputDevices : OutputDevices, &list);
  return true;
}

bool CHalvernVADApiApp::GetPeakValues() {
  CAudioCapturer* capture = m_Router.GetCaptureDevice();
  if (capture == nullptr) return false;
  float peaks[2] = {0.0f, 0.0f};
  const HRESULT hr = capture->GetChannelPeaks(peaks);
  if (SUCCEEDED(hr)) Deliver(PeakValues, peaks);
  return SUCCEEDED(hr);
}

bool CHalvernVADApiApp::GetGain() {
  CAudioCapturer* capture = m_Router.GetCaptureDevice();
  if (capture == nullptr) return false;
  float gains[2] = {0.0f, 0.0f};
  const HRESULT hr = capture->GetChannelGains(gains);
  if (SUCCEEDED(hr)) Deliver(GainValues, gains);
  return SUCCEEDED(hr);
}

bool CHalvernVADApiApp::SetGain(const float gainsDb[2]) {
  if (gainsDb == nullptr) return false;
  const float gains[2] = {gainsDb[0], gainsDb[1]};
  // A NaN would pass any range clamp unchanged; infinities are no level either.
  if (!std::isfinite(gains[0]) || !std::isfinite(gains[1])) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Gain is not a finite number",
          "CHalvernVADApiApp::SetGain");
    return false;
  }
  CAudioCapturer* capture = m_Router.GetCaptureDevice();
  if (capture == nullptr) return false;
  return SUCCEEDED(capture->SetChannelGains(gains));
}

void CHalvernVADApiApp::Deliver(std::int32_t event, void* data) {
  if (const KovraDelegate callback = m_Delegate.load()) callback(event, data);
}

void CHalvernVADApiApp::HandleDeviceEvent(const WCHAR* endpointId, std::int32_t event, bool flag,
                                          std::int32_t value) {
  switch (event) {
    case DeviceAdded:
    case DeviceRemoved:
    case DeviceFormatChanged:
      Deliver(event, const_cast<WCHAR*>(endpointId));
      break;
    case DefaultDeviceChanged:
      DescribeDefaultDevice(endpointId, flag, value);
      break;
    default:
      break;
  }
}

// A default that cannot be described (no default left: a null id) is still reported, with empty
// strings; the virtual card's own default changes are not reported.
void CHalvernVADApiApp::DescribeDefaultDevice(const WCHAR* endpointId, bool capture,
                                              std::int32_t role) {
  EndpointInfo info{};
  platform::TComPtr<IMMDeviceEnumerator> enumerator;
  if (SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                 IID_IMMDeviceEnumerator,
                                 reinterpret_cast<void**>(enumerator.Put())))) {
    platform::TComPtr<IMMDevice> device;
    if (endpointId != nullptr && SUCCEEDED(enumerator->GetDevice(endpointId, device.Put())) &&
        FAILED(CDeviceManager::GetEndpointInfo(device.Get(), &info)))
      info = EndpointInfo{};
  }
  info.role = static_cast<UINT32>(role);
  info.isDefault = true;
  if (NamesVirtualCard(info.interfaceName)) return;
  DeviceEndpointRecord record{};
  ConvertEndpointInfo(&info, &record);
  record.dataFlow = capture ? DataFlowCapture : DataFlowRender;
  Deliver(DefaultDeviceChanged, &record);
}

}  // namespace halvern
