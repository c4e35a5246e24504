#include "graph/tag_list.h"

#include "graph/frames.h"

namespace halvern {

CTagList::~CTagList() { Clear(); }

void CTagList::Insert(const Entry& entry) {
  Link(new Entry{{}, entry.tag, entry.position, entry.value, nullptr, nullptr});
}

void CTagList::Link(Entry* entry) {
  Entry* after = m_Tail;
  while (after != nullptr && after->position > entry->position) after = after->previous;
  entry->previous = after;
  entry->next = after != nullptr ? after->next : m_Head;
  if (entry->next != nullptr)
    entry->next->previous = entry;
  else
    m_Tail = entry;
  if (after != nullptr)
    after->next = entry;
  else
    m_Head = entry;
  ++m_Count;
}

void CTagList::Splice(CTagList& source) {
  if (&source == this) return;
  while (Entry* entry = source.m_Head) {
    source.Detach(entry);
    Link(entry);
  }
}

void CTagList::Insert(CBitstreamTag* tag, std::int64_t position, std::int32_t value) {
  Entry entry;
  entry.tag = tag;
  entry.position = position;
  entry.value = value;
  Insert(entry);
}

void CTagList::Clear() {
  Entry* entry = m_Head;
  while (entry != nullptr) {
    Entry* next = entry->next;
    delete entry;
    entry = next;
  }
  m_Head = nullptr;
  m_Tail = nullptr;
  m_Count = 0;
}

std::int64_t CTagList::Start(std::int64_t first) const {
  return first == kUnspecifiedFrames ? m_Cursor : first;
}

void CTagList::HandOut(std::int64_t first, std::int64_t count, CTagList& destination) {
  const std::int64_t start = Start(first);
  const std::int64_t end = start + count;
  for (const Entry* entry = m_Head; entry != nullptr; entry = entry->next)
    if (entry->position >= start && entry->position < end) destination.Insert(*entry);
  m_Cursor = end;
}

void CTagList::Store(std::int64_t first, std::int64_t count, const CTagList& source) {
  const std::int64_t start = Start(first);
  const std::int64_t end = start + count;
  for (const Entry* entry = source.m_Head; entry != nullptr && entry->position < end;
       entry = entry->next)
    if (entry->position >= start) Insert(*entry);
  m_Cursor = end;
}

void CTagList::Trim(std::int64_t first, std::int64_t end) {
  while (m_Head != nullptr && m_Head->position < first) Unlink(m_Head);
  while (m_Tail != nullptr && m_Tail->position >= end) Unlink(m_Tail);
}

void CTagList::Unlink(Entry* entry) {
  Detach(entry);
  delete entry;
}

void CTagList::Detach(Entry* entry) {
  if (entry->previous != nullptr)
    entry->previous->next = entry->next;
  else
    m_Head = entry->next;
  if (entry->next != nullptr)
    entry->next->previous = entry->previous;
  else
    m_Tail = entry->previous;
  --m_Count;
}

}  // namespace halvern
