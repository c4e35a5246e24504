// Where captured audio enters the graph: the capture thread writes packets, the render thread
// pulls its chain from here. A pull waits a little for data and never fails for lack of it.
#pragma once

#include <cstdint>

#include "base/zub_thread_mutex.h"
#include "graph/sound_pull_socket.h"
#include "processing/zub_ring_buffer.h"

namespace halvern {

class CVxAudioCaptureSocket : public CSoundPullSocket {
 public:
  // How often, and how long each time, a pull checks for enough data before it gives up.
  static constexpr int kWaitChecks = 100;
  static constexpr DWORD kWaitStepMs = 5;

  // The ring holds `capacityFrames` frames of the capture format.
  CVxAudioCaptureSocket(const CSoundTraits& traits, std::int32_t capacityFrames);
  ~CVxAudioCaptureSocket() override;

  using CDataPullSocket::Pull;
  // The position is not used for reading (a live stream only continues); it places the tag.
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;

  // Capture thread: stores `frames` interleaved frames; returns the frames stored.
  virtual std::int64_t Write(const void* data, std::int64_t& frames);
  // Drops everything stored.
  virtual void Reset();

  std::int32_t GetAvailableFrames();

 protected:
  // Every wait of a pull for the writer goes through here, so that tests of a starved socket
  // can count the waits instead of sleeping through them.
  virtual void WaitForWriter(DWORD milliseconds);

 private:
  std::int32_t CaptureFrameSize() const;

  CZubRingBuffer m_Ring;
  CZubThreadMutex m_Lock;
};

}  // namespace halvern
