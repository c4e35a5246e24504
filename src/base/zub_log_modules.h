// The processing library's log modules, registered during static initialisation.
#pragma once

#include "base/zub_log.h"

namespace halvern {

extern CZubLogModuleDescriptor g_ZubRingBufferLog;
extern CZubLogModuleDescriptor g_ZubAudioProcessorLog;
extern CZubLogModuleDescriptor g_ZubPortableLibraryLog;

}  // namespace halvern
