/* A host written in C: the public header must compile here as it stands, and give the same
 * layouts as the C++ side sees. */
#include "kovra_api.h"

static void KOVRA_CALL HostDelegate(int32_t event, void* data) {
  (void)event;
  (void)data;
}

size_t KovraHostC_Layout(int index);

size_t KovraHostC_Layout(int index) {
  static const KovraDelegate kDelegate = HostDelegate;
  const size_t layout[] = {
      sizeof(DeviceEndpointRecord),
      offsetof(DeviceEndpointRecord, formFactor),
      offsetof(DeviceEndpointRecord, channelMask),
      sizeof(DeviceList),
      offsetof(DeviceList, records),
      sizeof(CallStackFrameRecord),
      offsetof(CallStackFrameRecord, offset),
      sizeof(KovraChar16),
      sizeof(bool),
      sizeof(kDelegate),
      (size_t)ResultTooManyDevices,
      (size_t)GainValues,
  };
  return index >= 0 && (size_t)index < sizeof layout / sizeof layout[0] ? layout[index] : 0;
}
