// A capture socket that counts its waits for the writer instead of sleeping through them, so a
// starved pull returns at once and a test can tell whether anything waited at all.
#pragma once

#include <atomic>

#include "graph/capture_socket.h"

namespace halvern::testing {

class CountingCaptureSocket : public CVxAudioCaptureSocket {
 public:
  using CVxAudioCaptureSocket::CVxAudioCaptureSocket;
  std::atomic<int> waits{0};

 protected:
  void WaitForWriter(DWORD) override { ++waits; }
};

}  // namespace halvern::testing
