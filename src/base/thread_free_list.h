// Per-thread recycling of fixed-size blocks. Objects that an audio thread makes and drops every
// period (tags, tag-list entries) reach the heap only while the thread warms up; afterwards they
// come from, and go back to, the thread's own list. A block freed on another thread simply joins
// that thread's list.
#pragma once

#include <cstddef>
#include <new>

namespace halvern {

template <std::size_t Size, std::size_t Keep = 64>
class TThreadFreeList {
 public:
  static void* Take() {
    Registration();
    if (t_Count > 0) return t_Blocks[--t_Count];
    return ::operator new(Size);
  }

  static void Give(void* block) {
    // After the thread's list has been torn down (objects dropped during thread or process
    // exit) blocks go straight back to the heap.
    if (!t_Released && t_Count < Keep) {
      t_Blocks[t_Count++] = block;
      return;
    }
    ::operator delete(block);
  }

 private:
  // The blocks live in trivially destructible thread-locals, which stay usable until the thread
  // ends; this guard only frees them when the thread's thread-locals are destroyed.
  struct Guard {
    ~Guard() {
      t_Released = true;
      while (t_Count > 0) ::operator delete(t_Blocks[--t_Count]);
    }
  };
  static void Registration() { thread_local Guard guard; }

  static thread_local void* t_Blocks[Keep];
  static thread_local std::size_t t_Count;
  static thread_local bool t_Released;
};

template <std::size_t Size, std::size_t Keep>
thread_local void* TThreadFreeList<Size, Keep>::t_Blocks[Keep];
template <std::size_t Size, std::size_t Keep>
thread_local std::size_t TThreadFreeList<Size, Keep>::t_Count = 0;
template <std::size_t Size, std::size_t Keep>
thread_local bool TThreadFreeList<Size, Keep>::t_Released = false;

// Base of a class whose objects come and go every period: its objects are recycled per thread.
// Derived classes of another size fall back to the heap.
template <class Derived>
struct TRecycledPerThread {
  static void* operator new(std::size_t size) {
    return size == sizeof(Derived) ? TThreadFreeList<sizeof(Derived)>::Take()
                                   : ::operator new(size);
  }
  static void operator delete(void* block, std::size_t size) {
    if (size == sizeof(Derived))
      TThreadFreeList<sizeof(Derived)>::Give(block);
    else
      ::operator delete(block);
  }
};

}  // namespace halvern
