// The processing library's log: a process-wide table of named modules with switchable named
// levels, and the formatter that writes one tagged line per message to the debugger output (or,
// when configured, to a syslog server).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/compiler.h"

namespace halvern {

inline constexpr int kZubMaxModules = 64;
inline constexpr int kZubMaxLevels = 32;

// Levels as LogMessage shows them: 0 "ERR", 1 "wrn", 2 "inf", anything else blank.
inline constexpr int kZubLevelError = 0;
inline constexpr int kZubLevelWarning = 1;
inline constexpr int kZubLevelInfo = 2;

// The library tag every line of the processing library carries.
inline constexpr const char* kZubTag = "zub";

class CZubLogModuleTable {
 public:
  struct Entry {
    char* name;                       // owned copy; null for a free entry
    char* levelNames[kZubMaxLevels];  // owned copies; null when free
    std::uint32_t enabledMask;        // bit i: level i is enabled
  };

  int RegisterModule(const char* name);
  void UnregisterModule(const char* name);
  int RegisterLevel(int module, const char* levelName, bool enabled);
  bool IsLevelEnabled(int module, int level) const;

  Entry entries[kZubMaxModules];
};

// The process-wide table, zero-initialised before any constructor runs.
CZubLogModuleTable& ZubLogModuleTable();

// Index of the module (existing or new); -1 when all entries are used.
int RegisterModule(const char* name);
// Frees the module's name and level names; nothing when there is no such module.
void UnregisterModule(const char* name);
// Index of the level (existing, its bit unchanged, or new with the bit set as asked); 0 when
// all slots are used.
int RegisterLevel(int module, const char* levelName, bool enabled);
bool IsLevelEnabled(int module, int level);

// One static record per module: the module's name and its indices.
struct CZubLogModuleDescriptor {
  // Registers the module and its "ERR", "WRN", "INF" (enabled) and "DBG" (disabled) levels.
  explicit CZubLogModuleDescriptor(const char* moduleName);

  char name[64];
  int index;
  int levelErr;
  int levelWrn;
  int levelInf;
  int levelDbg;
};

// Registers a module for the lifetime of the object: the start-up modules unregister at exit.
class CZubLogModuleRegistration {
 public:
  explicit CZubLogModuleRegistration(const char* name);
  CZubLogModuleRegistration(const CZubLogModuleRegistration&) = delete;
  CZubLogModuleRegistration& operator=(const CZubLogModuleRegistration&) = delete;
  ~CZubLogModuleRegistration();

 private:
  const char* m_Name;
};

// Formats one line (at most 4095 characters) and emits it. Never fails towards the caller.
void LogMessage(int level, const char* tag, const char* moduleName, const char* functionName,
                const char* format, ...) HALVERN_PRINTF_LIKE(5, 6);
void LogMessageV(int level, const char* tag, const char* moduleName, const char* functionName,
                 const char* format, va_list arguments);

// Optional columns and filters of the formatter; the library itself leaves them all off.
struct CZubLogFormatOptions {
  bool hasStartTime = false;
  std::int64_t startTimeUs = 0;  // on the ZubLogNowMicroseconds scale
  bool delta = false;            // time since the previous line
  bool processAndThread = false;
  const char* includeFilters[kZubMaxLevels] = {};  // per level; null or empty: no filter
  const char* excludeFilter = nullptr;
};

// Takes copies of the texts (each cut at 63 characters). Not to be called while other threads log.
void ConfigureZubLogFormat(const CZubLogFormatOptions& options);

// The formatter's clock: microseconds of the local time of day.
std::int64_t ZubLogNowMicroseconds();

}  // namespace halvern
