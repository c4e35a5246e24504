#include "base/counted_object.h"

#include "platform/win32.h"

namespace halvern {

namespace {

// Slack above our own frame that still counts as "on the stack" when the bounds are unknown.
constexpr std::uintptr_t kStackFallbackWindow = 4096;

}  // namespace

bool IsOnCurrentThreadStack(const void* address) {
  const volatile char probe = 0;
  const auto here = reinterpret_cast<std::uintptr_t>(&probe);
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  if (low < high && here >= low && here < high) return target >= low && target < high;
  return target >= here && target - here <= kStackFallbackWindow;
}

// A stack object starts with one reference that nobody releases, so dropping every counted
// reference to it never deletes it.
CCountedObject::CCountedObject() : m_RefCount(IsOnCurrentThreadStack(this) ? 1 : 0) {}

void CCountedObject::OnFirstReference() {}

void CCountedObject::OnLastReference() { DeleteThis(); }

void CCountedObject::DeleteThis() { delete this; }

void CCountedObject::AddRef() {
  if (m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1 == 1) OnFirstReference();
}

void CCountedObject::Release() {
  if (m_RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) OnLastReference();
}

}  // namespace halvern
