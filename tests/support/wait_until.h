// Waiting on a condition with a generous deadline: a slow machine makes a test slower, never red.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace halvern::testing {

// Polls `done` until it holds or `timeout` passes; true when it held.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace halvern::testing
