// The tags that travel with a stream: a list kept sorted by frame position, with a cursor at the
// end of the last range handed out or stored.
#pragma once

#include <cstdint>

#include "base/counted_object.h"
#include "base/thread_free_list.h"
#include "graph/bitstream_tag.h"

namespace halvern {

class CTagList {
 public:
  struct Entry : TRecycledPerThread<Entry> {
    TCountedRef<CBitstreamTag> tag;
    std::int64_t position = 0;  // frame number in the stream that produced the tag
    std::int32_t value = 0;     // carried along unchanged
    Entry* previous = nullptr;
    Entry* next = nullptr;
  };

  CTagList() = default;
  CTagList(const CTagList&) = delete;
  CTagList& operator=(const CTagList&) = delete;
  ~CTagList();

  // Inserts a copy after the last entry at or below its position (equal positions keep their
  // insertion order), or at the head when it lies below every entry.
  void Insert(const Entry& entry);
  void Insert(CBitstreamTag* tag, std::int64_t position, std::int32_t value = 0);
  void Clear();
  // Moves every entry of `source` into this list, each placed as Insert would place it; `source`
  // ends empty. Nothing is allocated.
  void Splice(CTagList& source);

  // Copies this list's entries in [first, first + count) into `destination`; the entries stay
  // here. A first of kUnspecifiedFrames starts at the cursor; the cursor ends at the range's end.
  void HandOut(std::int64_t first, std::int64_t count, CTagList& destination);
  // Inserts the entries of `source` in [first, first + count), walking it only up to the first
  // entry at or after the end. Moves the cursor like HandOut.
  void Store(std::int64_t first, std::int64_t count, const CTagList& source);
  // Drops the entries below `first` (walking from the head) and those at or above `end` (walking
  // from the tail); the cursor stays.
  void Trim(std::int64_t first, std::int64_t end);

  const Entry* Head() const { return m_Head; }
  const Entry* Tail() const { return m_Tail; }
  std::int32_t Count() const { return m_Count; }
  std::int64_t Cursor() const { return m_Cursor; }

 private:
  std::int64_t Start(std::int64_t first) const;
  void Link(Entry* entry);
  void Detach(Entry* entry);
  void Unlink(Entry* entry);

  Entry* m_Head = nullptr;
  Entry* m_Tail = nullptr;
  std::int32_t m_Count = 0;
  std::int64_t m_Cursor = 0;
};

}  // namespace halvern
