// COM, MMDevice, WASAPI and property-store declarations for non-Windows builds (simulated core audio).
#pragma once

#include "platform/posix/types.h"
