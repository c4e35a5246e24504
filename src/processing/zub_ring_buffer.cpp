#include "processing/zub_ring_buffer.h"

#include <cstring>
#include <new>

#include "base/zub_function_trace.h"
#include "base/zub_log_modules.h"

namespace halvern {

namespace {

// Each of the two overflow warnings is written once per this many overflows.
constexpr std::int32_t kOverflowWarningInterval = 30;

}  // namespace

CZubRingBuffer::CZubRingBuffer(const char* name) : m_Name(name != nullptr ? name : "") {}

CZubRingBuffer::~CZubRingBuffer() { Destroy(); }

bool CZubRingBuffer::Create(std::int32_t size) {
  CZubFunctionTrace trace(g_ZubRingBufferLog, "CZubRingBuffer::Create");
  CZubThreadMutexLock lock(m_Mutex);
  if (m_Data != nullptr) Destroy();
  Reset();
  // A size of zero or less is refused: an empty ring could store nothing and would only hide the
  // caller's mistake behind writes that return 0.
  if (size <= 0) return false;
  m_Data = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]();
  if (m_Data != nullptr) m_Capacity = size;
  return m_Data != nullptr;
}

void CZubRingBuffer::Destroy() {
  CZubFunctionTrace trace(g_ZubRingBufferLog, "CZubRingBuffer::Destroy");
  CZubThreadMutexLock lock(m_Mutex);
  delete[] m_Data;
  m_Data = nullptr;
  m_Capacity = 0;
  Reset();
}

void CZubRingBuffer::Reset() {
  CZubThreadMutexLock lock(m_Mutex);
  if (m_Data != nullptr) std::memset(m_Data, 0, static_cast<std::size_t>(m_Capacity));
  m_WritePosition = 0;
  m_ReadPosition = 0;
  m_Count = 0;
  m_OverwriteLogCount = 0;
  m_DiscardLogCount = 0;
}

std::int32_t CZubRingBuffer::Write(const void* source, std::int32_t length) {
  if (source == nullptr) return 0;
  CZubThreadMutexLock lock(m_Mutex);
  if (m_Data == nullptr || length <= 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(source);
  const std::int32_t n = m_Capacity;
  const std::int32_t w = m_WritePosition;
  const std::int32_t r = m_ReadPosition;
  const bool hadData = m_Count > 0;
  bool overflow = false;
  std::int32_t stored = 0;

  // 64-bit sum: a length near INT32_MAX must not wrap the comparison.
  if (static_cast<std::int64_t>(w) + length < n) {
    std::memcpy(m_Data + w, bytes, static_cast<std::size_t>(length));
    overflow = hadData && w <= r && w + length > r;
    m_WritePosition = w + length;
    m_Count += length;
    stored = length;
  } else {
    const std::int32_t skip = length > n ? length - n : 0;
    const std::int32_t first = n - w;
    const std::int32_t second = length - skip - first;
    std::memcpy(m_Data + w, bytes + skip, static_cast<std::size_t>(first));
    std::memcpy(m_Data, bytes + skip + first, static_cast<std::size_t>(second));
    overflow = hadData && (w <= r || second > r);
    m_WritePosition = second;
    m_Count += first + second;
    stored = length - skip;
  }

  if (overflow) {
    WarnOverflow();
    m_Count = n / 2;
    m_ReadPosition = m_WritePosition + n / 2;
    if (m_ReadPosition >= n) m_ReadPosition -= n;
  }
  return stored;
}

// Counts every overflow; writes each warning on the 1st, 31st, 61st... while the level is on.
void CZubRingBuffer::WarnOverflow() {
  const bool enabled = IsLevelEnabled(g_ZubRingBufferLog.index, g_ZubRingBufferLog.levelWrn);
  if (enabled && m_OverwriteLogCount % kOverflowWarningInterval == 0) {
    LogMessage(g_ZubRingBufferLog.levelWrn, kZubTag, g_ZubRingBufferLog.name,
               "CZubRingBuffer::Write", "<%s> BUFFER OVERWRITE  <LOGCOUNT: %d>", m_Name.c_str(),
               m_OverwriteLogCount + 1);
  }
  ++m_OverwriteLogCount;
  if (enabled && m_DiscardLogCount % kOverflowWarningInterval == 0) {
    LogMessage(g_ZubRingBufferLog.levelWrn, kZubTag, g_ZubRingBufferLog.name,
               "CZubRingBuffer::Write",
               "<%s> WARNING: Discarded half buffer on overflow <LOGCOUNT: %d>", m_Name.c_str(),
               m_DiscardLogCount + 1);
  }
  ++m_DiscardLogCount;
}

std::int32_t CZubRingBuffer::Read(void* destination, std::int32_t length) {
  if (destination == nullptr) return 0;
  CZubThreadMutexLock lock(m_Mutex);
  if (m_Data == nullptr) return 0;
  const std::int32_t k = length < m_Count ? length : m_Count;
  if (k <= 0) return 0;
  auto* bytes = static_cast<std::uint8_t*>(destination);
  const std::int32_t n = m_Capacity;
  const std::int32_t r = m_ReadPosition;
  if (r + k < n) {
    std::memcpy(bytes, m_Data + r, static_cast<std::size_t>(k));
    m_ReadPosition = r + k;
  } else {
    const std::int32_t first = n - r;
    std::memcpy(bytes, m_Data + r, static_cast<std::size_t>(first));
    std::memcpy(bytes + first, m_Data, static_cast<std::size_t>(k - first));
    m_ReadPosition = k - first;
  }
  m_Count -= k;
  return k;
}

std::int32_t CZubRingBuffer::GetAvailable() {
  CZubThreadMutexLock lock(m_Mutex);
  return m_Count;
}

std::int32_t CZubRingBuffer::GetCapacity() {
  CZubThreadMutexLock lock(m_Mutex);
  return m_Capacity;
}

}  // namespace halvern
