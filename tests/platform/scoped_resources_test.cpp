// The resource owners release exactly once whatever path a value takes (move, reset, Put, Detach).
// Leaks and double frees of task memory and PROPVARIANTs are caught by the address sanitizer.
#include "platform/scoped_resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "platform/utf16.h"
#include "platform/win32.h"

namespace {

using halvern::platform::CCoTaskMemString;
using halvern::platform::CMmcssRegistration;
using halvern::platform::CPropVariant;
using halvern::platform::CScopedHandle;
using halvern::platform::TComPtr;

class CountedUnknown final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 0;
};

IUnknown* Referenced(CountedUnknown& object) {
  object.AddRef();
  return &object;
}

LPWSTR TaskMemString(const char* text) {
  const auto wide = halvern::platform::Utf8ToUtf16(text);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(WCHAR)));
  std::memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return copy;
}

}  // namespace

TEST(ScopedResources, ComPtrReleasesEachReferenceOnce) {
  CountedUnknown a;
  CountedUnknown b;
  {
    TComPtr<IUnknown> first(Referenced(a));
    TComPtr<IUnknown> second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(a.refs, 1u);
    *second.Put() = Referenced(b);  // Put drops the old reference before the out-parameter
    EXPECT_EQ(a.refs, 0u);
    TComPtr<IUnknown> third(Referenced(a));
    third = std::move(second);
    EXPECT_EQ(a.refs, 0u);
    EXPECT_EQ(b.refs, 1u);
    IUnknown* raw = third.Detach();
    EXPECT_EQ(b.refs, 1u);
    third.Reset(raw);
  }
  EXPECT_EQ(a.refs, 0u);
  EXPECT_EQ(b.refs, 0u);
}

TEST(ScopedResources, TaskMemoryAndPropVariantFreeWhatTheyOwn) {
  CCoTaskMemString id(TaskMemString("{0.0.0.00000000}.{a}"));
  CCoTaskMemString moved(std::move(id));
  EXPECT_FALSE(id);
  *moved.Put() = TaskMemString("second");
  EXPECT_EQ(halvern::platform::Utf16ToUtf8(moved.Get()), "second");

  CPropVariant value;
  PROPVARIANT* out = value.Put();
  out->vt = VT_LPWSTR;
  out->pwszVal = TaskMemString("Speakers");
  CPropVariant other(std::move(value));
  EXPECT_EQ(value->vt, VT_EMPTY);
  EXPECT_EQ(other->vt, VT_LPWSTR);
  value = std::move(other);
  EXPECT_EQ(halvern::platform::Utf16ToUtf8(value->pwszVal), "Speakers");
  value.Put()->vt = VT_UI4;  // Put cleared the string first
  value.Clear();
  EXPECT_EQ(value->vt, VT_EMPTY);
}

TEST(ScopedResources, HandleTreatsBothFailureValuesAsEmpty) {
  EXPECT_FALSE(CScopedHandle(nullptr));
  EXPECT_FALSE(CScopedHandle(INVALID_HANDLE_VALUE));  // never passed to CloseHandle
  CScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  CScopedHandle owner(std::move(event));
  EXPECT_FALSE(event);
  ASSERT_TRUE(SetEvent(owner.Get()));
  EXPECT_EQ(WaitForSingleObject(owner.Get(), 0), WAIT_OBJECT_0);
  owner.Reset();
  EXPECT_FALSE(owner);
}

TEST(ScopedResources, MmcssRegistrationRevertsAndReportsRefusal) {
  const auto audio = halvern::platform::Utf8ToUtf16("Audio");
  CMmcssRegistration registration;
  ASSERT_EQ(registration.Register(audio.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
  CMmcssRegistration moved(std::move(registration));
  EXPECT_FALSE(registration.IsRegistered());
  EXPECT_TRUE(moved.IsRegistered());
  moved.Revert();
  EXPECT_FALSE(moved.IsRegistered());
#if !defined(_WIN32)
  // Wine accepts any task name; Windows and our layer know only the tasks in the registry.
  const auto unknown = halvern::platform::Utf8ToUtf16("No Such Task");
  EXPECT_EQ(moved.Register(unknown.c_str()), static_cast<DWORD>(ERROR_INVALID_TASK_NAME));
  EXPECT_FALSE(moved.IsRegistered());
#endif
}
