// The byte ring between the capture thread (one writer) and a render thread (one reader). On
// overflow it keeps the newest half of its capacity: a reader that fell behind resumes there.
#pragma once

#include <cstdint>
#include <string>

#include "base/zub_thread_mutex.h"

namespace halvern {

class CZubRingBuffer {
 public:
  explicit CZubRingBuffer(const char* name);
  CZubRingBuffer(const CZubRingBuffer&) = delete;
  CZubRingBuffer& operator=(const CZubRingBuffer&) = delete;
  virtual ~CZubRingBuffer();

  // (Re)allocates `size` zero bytes, discarding all content; false when nothing was allocated.
  bool Create(std::int32_t size);
  void Destroy();
  // Empties the ring and zeroes its bytes and both warning counters; keeps the storage.
  void Reset();

  // Stores `length` bytes (only the last capacity bytes of a larger block); returns the count
  // stored.
  std::int32_t Write(const void* source, std::int32_t length);
  // Moves up to `length` unread bytes out; returns the count moved.
  std::int32_t Read(void* destination, std::int32_t length);
  std::int32_t GetAvailable();

  std::int32_t GetCapacity();

 private:
  void WarnOverflow();

  CZubThreadMutex m_Mutex;
  std::uint8_t* m_Data = nullptr;
  std::int32_t m_Capacity = 0;
  std::int32_t m_WritePosition = 0;
  std::int32_t m_ReadPosition = 0;
  std::int32_t m_Count = 0;
  std::string m_Name;
  std::int32_t m_OverwriteLogCount = 0;
  std::int32_t m_DiscardLogCount = 0;
};

}  // namespace halvern
