#include "platform/posix/named_objects.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/kernel_object.h"
#include "platform/utf16.h"

using halvern::platform::FromHandle;
using halvern::platform::KernelObject;

namespace {

constexpr DWORD kErrorNotOwner = 288;

// Lifetime of a named object across processes. Every process that holds a handle to the object
// keeps a shared record lock on byte 1 of its shm file; the kernel drops it when the process ends
// in any way. Opening and closing take an exclusive lock on byte 0 first, so "am I the only
// holder?" (a write lock on byte 1 succeeds) and what follows from it are one step. As on Windows
// the name goes with the last handle, while views keep the memory: a file that has content but no
// holder (kept by views only, or left over from killed processes) is unlinked, never reused.
constexpr off_t kGuardByte = 0;
constexpr off_t kHolderByte = 1;

bool LockByte(int fd, off_t byte, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// One per name and process; record locks belong to the process, so the process must never hold
// two descriptors of the same object.
struct Segment {
  std::string name;
  int fd = -1;
  std::size_t size = 0;
  int handles = 0;
  int views = 0;
};

// Never destroyed: handles may be closed by other objects' static destructors at exit.
std::mutex& RegistryLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::map<std::string, Segment*>& Registry() {
  static auto* registry = new std::map<std::string, Segment*>;
  return *registry;
}

std::string ShmName(LPCWSTR name, const char* suffix) {
  std::string shm = "/" + halvern::platform::Utf16ToUtf8(name) + suffix;
  for (std::size_t i = 1; i < shm.size(); ++i)
    if (shm[i] == '/' || shm[i] == '\\') shm[i] = '_';
  return shm;
}

// Whether the name still leads to the file behind `fd`. Checked by path: opening and closing a
// second descriptor would drop every record lock this process holds on the file.
bool SameFile(int fd, const std::string& name) {
  struct stat a {
  }, b{};
  return ::fstat(fd, &a) == 0 && ::stat(("/dev/shm" + name).c_str(), &b) == 0 &&
         a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Opens (or creates) the named object and takes this process's holder lock. `existed` is false
// when the object was created here; its contents are then zero and `initialise` has run on it.
template <typename Init>
Segment* Acquire(const std::string& name, std::size_t size, bool create, bool* existed,
                 Init initialise) {
  std::lock_guard registryGuard(RegistryLock());
  auto found = Registry().find(name);
  if (found != Registry().end()) {
    ++found->second->handles;
    *existed = true;
    return found->second;
  }
  for (;;) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | (create ? O_CREAT : 0), 0666);
    if (fd < 0) {
      SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (!LockByte(fd, kGuardByte, F_WRLCK, true)) {
      ::close(fd);
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (!SameFile(fd, name)) {  // unlinked by its last holder while we waited
      ::close(fd);
      continue;
    }
    struct stat info {};
    const bool alone = LockByte(fd, kHolderByte, F_WRLCK, false);
    if (::fstat(fd, &info) != 0) info.st_size = 0;
    if (alone && info.st_size != 0) {  // no holder: stale, the name is free
      ::shm_unlink(name.c_str());
      ::close(fd);
      if (create) continue;
    }
    if (alone && !create) {  // not created yet by the process that opened it
      if (info.st_size == 0) ::close(fd);
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    bool ok = true;
    if (alone)
      ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && initialise(fd);
    else
      size = static_cast<std::size_t>(info.st_size);
    if (!ok || !LockByte(fd, kHolderByte, F_RDLCK, false)) {
      if (alone) ::shm_unlink(name.c_str());
      ::close(fd);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    LockByte(fd, kGuardByte, F_UNLCK, false);
    auto* segment = new Segment{name, fd, size, 1, 0};
    Registry()[name] = segment;
    *existed = !alone;
    return segment;
  }
}

// The last handle of this process gives up the name (removing it when no other process holds it);
// the last view frees the bookkeeping.
void ReleaseHandle(Segment* segment) {
  std::lock_guard registryGuard(RegistryLock());
  if (--segment->handles > 0) return;
  LockByte(segment->fd, kGuardByte, F_WRLCK, true);
  if (LockByte(segment->fd, kHolderByte, F_WRLCK, false)) ::shm_unlink(segment->name.c_str());
  ::close(segment->fd);  // drops every record lock of this process on the file
  segment->fd = -1;
  Registry().erase(segment->name);
  if (segment->views == 0) delete segment;
}

void RetainView(Segment* segment) {
  std::lock_guard registryGuard(RegistryLock());
  ++segment->views;
}

void ReleaseView(Segment* segment) {
  std::lock_guard registryGuard(RegistryLock());
  if (--segment->views == 0 && segment->handles == 0) delete segment;
}

class MappingObject final : public KernelObject {
 public:
  explicit MappingObject(Segment* segment) : m_Segment(segment) {}
  ~MappingObject() override { ReleaseHandle(m_Segment); }
  Segment* segment() const { return m_Segment; }

 private:
  Segment* m_Segment;
};

struct View {
  Segment* segment;
  std::size_t length;
};

std::map<const void*, View>& Views() {
  static auto* views = new std::map<const void*, View>;
  return *views;
}

// The owner and depth are kept beside the pthread mutex so that a release by another thread is
// refused without touching the mutex, as Windows refuses it.
struct SharedMutex {
  pthread_mutex_t mutex;
  std::atomic<DWORD> owner;  // thread id, 0 when free
  DWORD depth;               // written by the owner only
};
static_assert(std::atomic<DWORD>::is_always_lock_free, "shared between processes");

bool InitialiseMutex(SharedMutex* shared) {
  pthread_mutex_t* mutex = &shared->mutex;
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0;
  ok = ok && pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0;
  ok = ok && pthread_mutex_init(mutex, &attributes) == 0;
  if (ok) {
    new (&shared->owner) std::atomic<DWORD>(0);
    shared->depth = 0;
  }
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

class MutexObject final : public KernelObject {
 public:
  // Named: the mutex lives in the segment, mapped at `shared`. Unnamed: a private one.
  MutexObject(Segment* segment, SharedMutex* shared) : m_Segment(segment), m_Shared(shared) {}
  ~MutexObject() override {
    if (m_Segment != nullptr) {
      ::munmap(m_Shared, sizeof(SharedMutex));
      ReleaseHandle(m_Segment);
    } else {
      pthread_mutex_destroy(&m_Shared->mutex);
      delete m_Shared;
    }
  }

  bool WaitsBySelf() const override { return true; }
  DWORD WaitSelf(DWORD milliseconds) override {
    int result = 0;
    if (milliseconds == INFINITE) {
      result = pthread_mutex_lock(&m_Shared->mutex);
    } else {
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_sec += milliseconds / 1000;
      deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      result = pthread_mutex_timedlock(&m_Shared->mutex, &deadline);
    }
    switch (result) {
      case 0:
        Acquired(false);
        return WAIT_OBJECT_0;
      case EOWNERDEAD:  // the owner died holding it: ours now, as Windows hands it over
        pthread_mutex_consistent(&m_Shared->mutex);
        Acquired(true);
        return WAIT_ABANDONED;
      case ETIMEDOUT:
        return WAIT_TIMEOUT;
      default:
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
  }

  void Acquired(bool abandoned) {
    const DWORD self = GetCurrentThreadId();
    if (abandoned || m_Shared->owner.load(std::memory_order_relaxed) != self) {
      m_Shared->owner.store(self, std::memory_order_relaxed);
      m_Shared->depth = 0;
    }
    ++m_Shared->depth;
  }

  BOOL Unlock() {
    if (m_Shared->owner.load(std::memory_order_relaxed) != GetCurrentThreadId()) {
      SetLastError(kErrorNotOwner);
      return FALSE;
    }
    if (--m_Shared->depth == 0) m_Shared->owner.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_Shared->mutex);
    return TRUE;
  }

 private:
  Segment* m_Segment;
  SharedMutex* m_Shared;
};

}  // namespace

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name) {
  const std::size_t size = (static_cast<std::size_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (file != INVALID_HANDLE_VALUE || name == nullptr || size == 0 || protect != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  Segment* segment = Acquire(ShmName(name, ""), size, true, &existed, [](int) { return true; });
  if (segment == nullptr) return nullptr;
  auto* mapping = new (std::nothrow) MappingObject(segment);
  if (mapping == nullptr) {
    ReleaseHandle(segment);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return mapping;
}

HANDLE OpenFileMappingW(DWORD, BOOL, LPCWSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  Segment* segment = Acquire(ShmName(name, ""), 0, false, &existed, [](int) { return true; });
  if (segment == nullptr) return nullptr;
  auto* mapping = new (std::nothrow) MappingObject(segment);
  if (mapping == nullptr) {
    ReleaseHandle(segment);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return mapping;
}

LPVOID MapViewOfFile(HANDLE handle, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes) {
  auto* mapping = dynamic_cast<MappingObject*>(FromHandle(handle));
  if (mapping == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Segment* segment = mapping->segment();
  const std::size_t offset = (static_cast<std::size_t>(offsetHigh) << 32) | offsetLow;
  if (offset > segment->size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t length = bytes == 0 ? segment->size - offset : bytes;
  const int protection = (desiredAccess & FILE_MAP_WRITE) != 0 ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address =
      ::mmap(nullptr, length, protection, MAP_SHARED, segment->fd, static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  RetainView(segment);
  std::lock_guard registryGuard(RegistryLock());
  Views()[address] = View{segment, length};
  return address;
}

BOOL UnmapViewOfFile(LPCVOID address) {
  View view{};
  {
    std::lock_guard registryGuard(RegistryLock());
    auto found = Views().find(address);
    if (found == Views().end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    view = found->second;
    Views().erase(found);
  }
  ::munmap(const_cast<void*>(address), view.length);
  ReleaseView(view.segment);
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  MutexObject* mutex = nullptr;
  bool existed = false;
  if (name == nullptr) {
    auto* shared = new (std::nothrow) SharedMutex;
    if (shared == nullptr || !InitialiseMutex(shared)) {
      delete shared;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    mutex = new MutexObject(nullptr, shared);
  } else {
    Segment* segment =
        Acquire(ShmName(name, ".mutex"), sizeof(SharedMutex), true, &existed, [](int fd) {
          void* address =
              ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
          if (address == MAP_FAILED) return false;
          const bool ok = InitialiseMutex(static_cast<SharedMutex*>(address));
          ::munmap(address, sizeof(SharedMutex));
          return ok;
        });
    if (segment == nullptr) return nullptr;
    void* address =
        ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, segment->fd, 0);
    if (address == MAP_FAILED) {
      ReleaseHandle(segment);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    mutex = new MutexObject(segment, static_cast<SharedMutex*>(address));
  }
  if (initialOwner) mutex->WaitSelf(INFINITE);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return mutex;
}

BOOL ReleaseMutex(HANDLE handle) {
  auto* mutex = dynamic_cast<MutexObject*>(FromHandle(handle));
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return mutex->Unlock();
}
