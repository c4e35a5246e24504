#include "base/zub_log.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/zub_syslog.h"
#include "platform/debug_output.h"
#include "platform/win32.h"

namespace halvern {

namespace {

constinit CZubLogModuleTable g_Table{};

constexpr std::size_t kLineCapacity = 4096;  // 4095 characters and the terminator
constexpr std::size_t kFilterCapacity = 64;
constexpr int kModuleColumnWidth = 29;
constexpr std::size_t kFunctionColumnWidth = 48;
constexpr int kMaxFunctionName = 255;

struct FormatOptions {
  bool hasStartTime = false;
  std::int64_t startTimeUs = 0;
  bool delta = false;
  bool processAndThread = false;
  char includeFilters[kZubMaxLevels][kFilterCapacity] = {};
  char excludeFilter[kFilterCapacity] = {};
};

constinit FormatOptions g_Options{};

// Written by every line without a lock; atomic only so that concurrent lines are well defined.
constinit std::atomic<std::int64_t> g_PreviousLineUs{0};

char* CopyText(const char* text) {
  const std::size_t length = std::strlen(text);
  auto* copy = new (std::nothrow) char[length + 1];
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void CopyFilter(char (&destination)[kFilterCapacity], const char* text) {
  std::snprintf(destination, kFilterCapacity, "%s", text != nullptr ? text : "");
}

bool ContainsIgnoringCase(const char* haystack, const char* needle) {
  if (haystack == nullptr) return false;
  const std::size_t n = std::strlen(needle);
  for (const char* p = haystack; *p != 0; ++p) {
    std::size_t i = 0;
    while (i < n && p[i] != 0 &&
           std::tolower(static_cast<unsigned char>(p[i])) ==
               std::tolower(static_cast<unsigned char>(needle[i])))
      ++i;
    if (i == n) return true;
  }
  return n == 0;
}

const char* LevelText(int level) {
  switch (level) {
    case 0:
      return "ERR";
    case 1:
      return "wrn";
    case 2:
      return "inf";
    default:
      return "   ";
  }
}

std::int64_t MicrosecondsOfDay(const SYSTEMTIME& time) {
  const std::int64_t seconds = (time.wHour * 60 + time.wMinute) * 60 + time.wSecond;
  return (seconds * 1000 + time.wMilliseconds) * 1000;
}

// Appends formatted text to a line of at most kLineCapacity - 1 characters, truncating.
class LineBuilder {
 public:
  void Append(const char* format, ...) HALVERN_PRINTF_LIKE(2, 3) {
    if (m_Length >= kLineCapacity - 1) return;
    va_list arguments;
    va_start(arguments, format);
    const int written =
        std::vsnprintf(m_Text + m_Length, kLineCapacity - m_Length, format, arguments);
    va_end(arguments);
    if (written > 0) m_Length = std::min(m_Length + written, kLineCapacity - 1);
  }
  void PadTo(std::size_t start, std::size_t width) {
    while (m_Length - start < width && m_Length < kLineCapacity - 1) m_Text[m_Length++] = ' ';
    m_Text[m_Length] = 0;
  }
  // A full line gives up its last character to the line feed, so every line ends one.
  void EndLine() {
    if (m_Length > 0 && (m_Text[m_Length - 1] == '\n' || m_Text[m_Length - 1] == '\r')) return;
    if (m_Length == kLineCapacity - 1) --m_Length;
    m_Text[m_Length++] = '\n';
    m_Text[m_Length] = 0;
  }
  std::size_t Length() const { return m_Length; }
  const char* Text() const { return m_Text; }

 private:
  char m_Text[kLineCapacity] = {};
  std::size_t m_Length = 0;
};

void AppendElapsed(LineBuilder& line, std::int64_t us) {
  line.Append(" %2lld.%3lld.%3lld ", static_cast<long long>((us / 1000000) % 1000),
              static_cast<long long>((us / 1000) % 1000), static_cast<long long>(us % 1000));
}

}  // namespace

int CZubLogModuleTable::RegisterModule(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < kZubMaxModules; ++i)
    if (entries[i].name != nullptr && std::strcmp(entries[i].name, name) == 0) return i;
  for (int i = 0; i < kZubMaxModules; ++i) {
    if (entries[i].name == nullptr) {
      entries[i].name = CopyText(name);
      return entries[i].name != nullptr ? i : -1;
    }
  }
  return -1;
}

void CZubLogModuleTable::UnregisterModule(const char* name) {
  if (name == nullptr) return;
  for (Entry& entry : entries) {
    if (entry.name == nullptr || std::strcmp(entry.name, name) != 0) continue;
    delete[] entry.name;
    entry.name = nullptr;
    for (char*& level : entry.levelNames) {
      delete[] level;
      level = nullptr;
    }
    entry.enabledMask = 0;
    return;
  }
}

int CZubLogModuleTable::RegisterLevel(int module, const char* levelName, bool enabled) {
  if (module < 0 || module >= kZubMaxModules || levelName == nullptr) return 0;
  Entry& entry = entries[module];
  for (int i = 0; i < kZubMaxLevels; ++i)
    if (entry.levelNames[i] != nullptr && std::strcmp(entry.levelNames[i], levelName) == 0)
      return i;
  for (int i = 0; i < kZubMaxLevels; ++i) {
    if (entry.levelNames[i] != nullptr) continue;
    entry.levelNames[i] = CopyText(levelName);
    const std::uint32_t bit = std::uint32_t{1} << i;
    entry.enabledMask = enabled ? (entry.enabledMask | bit) : (entry.enabledMask & ~bit);
    return i;
  }
  return 0;
}

bool CZubLogModuleTable::IsLevelEnabled(int module, int level) const {
  if (module < 0 || module >= kZubMaxModules || level < 0 || level >= kZubMaxLevels) return false;
  return (entries[module].enabledMask >> level) & 1u;
}

CZubLogModuleTable& ZubLogModuleTable() { return g_Table; }
int RegisterModule(const char* name) { return g_Table.RegisterModule(name); }
void UnregisterModule(const char* name) { g_Table.UnregisterModule(name); }
int RegisterLevel(int module, const char* levelName, bool enabled) {
  return g_Table.RegisterLevel(module, levelName, enabled);
}
bool IsLevelEnabled(int module, int level) { return g_Table.IsLevelEnabled(module, level); }

CZubLogModuleDescriptor::CZubLogModuleDescriptor(const char* moduleName) : name{} {
  std::snprintf(name, sizeof(name), "%s", moduleName);
  index = RegisterModule(name);
  // A full table leaves the module without levels; its lines are then never enabled.
  levelErr = index >= 0 ? RegisterLevel(index, "ERR", true) : 0;
  levelWrn = index >= 0 ? RegisterLevel(index, "WRN", true) : 0;
  levelInf = index >= 0 ? RegisterLevel(index, "INF", true) : 0;
  levelDbg = index >= 0 ? RegisterLevel(index, "DBG", false) : 0;
}

CZubLogModuleRegistration::CZubLogModuleRegistration(const char* name) : m_Name(name) {
  RegisterModule(name);
}

CZubLogModuleRegistration::~CZubLogModuleRegistration() { UnregisterModule(m_Name); }

void ConfigureZubLogFormat(const CZubLogFormatOptions& options) {
  g_Options.hasStartTime = options.hasStartTime;
  g_Options.startTimeUs = options.startTimeUs;
  g_Options.delta = options.delta;
  g_Options.processAndThread = options.processAndThread;
  for (int i = 0; i < kZubMaxLevels; ++i)
    CopyFilter(g_Options.includeFilters[i], options.includeFilters[i]);
  CopyFilter(g_Options.excludeFilter, options.excludeFilter);
  g_PreviousLineUs.store(0, std::memory_order_relaxed);
}

std::int64_t ZubLogNowMicroseconds() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return MicrosecondsOfDay(now);
}

void LogMessage(int level, const char* tag, const char* moduleName, const char* functionName,
                const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  LogMessageV(level, tag, moduleName, functionName, format, arguments);
  va_end(arguments);
}

void LogMessageV(int level, const char* tag, const char* moduleName, const char* functionName,
                 const char* format, va_list arguments) {
  char message[kLineCapacity];
  std::vsnprintf(message, sizeof(message), format != nullptr ? format : "", arguments);

  const bool hasLevelFilter = level >= 0 && level < kZubMaxLevels;
  const char* include = hasLevelFilter ? g_Options.includeFilters[level] : "";
  if (include[0] != 0 && !ContainsIgnoringCase(functionName, include) &&
      !ContainsIgnoringCase(message, include))
    return;

  LineBuilder line;
  SYSTEMTIME now;
  GetLocalTime(&now);
  line.Append("%02d:%02d:%02d.%03d  ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);

  const std::int64_t nowUs = MicrosecondsOfDay(now);
  if (g_Options.hasStartTime) AppendElapsed(line, nowUs - g_Options.startTimeUs);
  const std::int64_t previousUs = g_PreviousLineUs.exchange(nowUs, std::memory_order_relaxed);
  if (g_Options.delta && previousUs != 0) AppendElapsed(line, nowUs - previousUs);

  if (g_Options.processAndThread)
    line.Append("                   %04X-%04X: ", static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));

  const bool hasModule = moduleName != nullptr && moduleName[0] != 0;
  char module[32];
  std::snprintf(module, sizeof(module), "%s%s%s ", tag != nullptr ? tag : "", hasModule ? " " : "",
                hasModule ? moduleName : "");
  line.Append("%-*s ", kModuleColumnWidth, module);
  line.Append("%-3s ", LevelText(level));

  const bool excluded =
      g_Options.excludeFilter[0] != 0 && std::strstr(message, g_Options.excludeFilter) != nullptr;
  if (functionName != nullptr && functionName[0] != 0 && !excluded) {
    // Function-scope trace lines carry their nesting marker: keep it clear of the level column.
    const char first = functionName[0];
    const char* prefix = first == ' ' || first == '/' || first == '\\' ? " " : "";
    const std::size_t start = line.Length();
    line.Append("%s%.*s%s: ", prefix, kMaxFunctionName, functionName, "()");
    line.PadTo(start, kFunctionColumnWidth);
  }
  line.Append("%s", message);
  line.EndLine();

  if (ZubSyslogInUse())
    SendZubSyslogLine(level, line.Text());
  else
    platform::EmitDebugStringA(line.Text());
}

}  // namespace halvern
