#include "platform/simaudio/sim_machine.h"

namespace halvern::simaudio {

namespace {

EndpointDesc Describe(const char16_t* id, EDataFlow flow, const WAVEFORMATEXTENSIBLE& format,
                      const char16_t* adapter, const char16_t* description, UINT32 formFactor) {
  EndpointDesc d;
  d.id = id;
  d.flow = flow;
  d.deviceFormat = format;
  d.interfaceName = adapter;
  d.description = description;
  d.friendlyName = std::u16string(description) + u" (" + adapter + u")";
  d.formFactor = formFactor;
  return d;
}

}  // namespace

HRESULT AddStandardMachine() {
  EndpointDesc endpoints[] = {Describe(kHalvernCaptureId, eCapture, MakePcmFormat(48000, 2, 16),
                                       u"Halvern Sound Capture", u"Line", LineLevel),
                              Describe(kHalvernPlaybackId, eRender, MakePcmFormat(48000, 2, 16),
                                       u"Halvern Sound Capture", u"Speakers", Speakers),
                              Describe(kSpeakersId, eRender, MakePcmFormat(48000, 2, 24),
                                       u"Onboard Audio", u"Speakers", Speakers),
                              Describe(kHeadsetRenderId, eRender, MakePcmFormat(44100, 2, 16),
                                       u"USB Headset", u"Headphones", Headset),
                              Describe(kHeadsetCaptureId, eCapture, MakePcmFormat(16000, 1, 16),
                                       u"USB Headset", u"Microphone", Headset)};
  endpoints[1].state = DEVICE_STATE_DISABLED;
  for (const EndpointDesc& d : endpoints)
    if (HRESULT hr = AddEndpoint(d); FAILED(hr)) return hr;
  return S_OK;
}

}  // namespace halvern::simaudio
