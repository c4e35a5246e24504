#include "base/zub_log_modules.h"

#include "base/zub_function_trace.h"

namespace halvern {

// One translation unit, so the start-up order is the order written here; the modules are
// unregistered at exit in reverse.
namespace {
CZubLogModuleRegistration g_RingBufferModule("CZubRingBuffer");
}  // namespace
CZubLogModuleDescriptor g_ZubRingBufferLog("CZubRingBuffer");

namespace {
CZubLogModuleRegistration g_AudioProcessorModule("CZubAudioProcessor");
}  // namespace
CZubLogModuleDescriptor g_ZubAudioProcessorLog("CZubAudioProcessor");

namespace {
CZubNestingMapLifetime g_NestingMap;
CZubNestingMutexLifetime g_NestingMutex;
CZubLogModuleRegistration g_PortableLibraryModule("PortableLibrary");
}  // namespace
CZubLogModuleDescriptor g_ZubPortableLibraryLog("PortableLibrary");

}  // namespace halvern
