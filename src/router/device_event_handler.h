// What the router tells its owner about endpoint changes, and the visitor of its device map: one
// callable shape for both.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/win32.h"

namespace halvern {

// (endpoint id, event, flag, value). For ForEachDevice: (id, running index, is capture, 0).
using DeviceEventHandler =
    std::function<void(const WCHAR* endpointId, std::int32_t event, bool flag, std::int32_t value)>;

// The router's events. Default-changed carries flag = capture flow and value = the role.
constexpr std::int32_t kRouterEventAdded = 1;
constexpr std::int32_t kRouterEventRemoved = 2;
constexpr std::int32_t kRouterEventFormatChanged = 3;
constexpr std::int32_t kRouterEventDefaultChanged = 5;

}  // namespace halvern
