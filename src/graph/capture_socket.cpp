#include "graph/capture_socket.h"

#include "graph/capture_tag.h"
#include "graph/frames.h"
#include "samples/sample_format.h"
#include "trace/trace.h"

namespace halvern {

namespace {

// The trace context of the capture path's warnings.
constexpr std::uint32_t kCaptureTraceContext = 0x80000000u;

}  // namespace

CVxAudioCaptureSocket::CVxAudioCaptureSocket(const CSoundTraits& traits,
                                             std::int32_t capacityFrames)
    : CSoundPullSocket(traits), m_Ring("CVxAudioCaptureSocket") {
  CZubThreadMutexLock lock(m_Lock);
  m_Ring.Create(capacityFrames * SampleWidth(sampleFormat) * channels);
}

CVxAudioCaptureSocket::~CVxAudioCaptureSocket() {
  CZubThreadMutexLock lock(m_Lock);
  m_Ring.Destroy();
}

std::int32_t CVxAudioCaptureSocket::CaptureFrameSize() const {
  return SampleWidth(sampleFormat) * channels;
}

std::int64_t CVxAudioCaptureSocket::GetLength() { return kUnspecifiedFrames; }

std::int64_t CVxAudioCaptureSocket::Write(const void* data, std::int64_t& frames) {
  const std::int32_t bytesPerFrame = CaptureFrameSize();
  if (bytesPerFrame <= 0) return 0;
  const auto bytes = static_cast<std::int32_t>(frames * bytesPerFrame);
  const std::int32_t written = m_Ring.Write(data, bytes);
  const std::int64_t stored = written / bytesPerFrame;
  // Level 0 never passes the trace filter: only a short write is reported.
  Trace(stored != frames ? kTraceLevelWarning : 0, kCaptureTraceContext,
        "%s() - only %d of %d bytes written", "CVxAudioCaptureSocket::Write", written, bytes);
  return stored;
}

void CVxAudioCaptureSocket::Reset() {
  CZubThreadMutexLock lock(m_Lock);
  m_Ring.Reset();
}

std::int32_t CVxAudioCaptureSocket::GetAvailableFrames() {
  const std::int32_t bytesPerFrame = CaptureFrameSize();
  if (bytesPerFrame <= 0) return 0;
  CZubThreadMutexLock lock(m_Lock);
  return m_Ring.GetAvailable() / bytesPerFrame;
}

void CVxAudioCaptureSocket::WaitForWriter(DWORD milliseconds) { Sleep(milliseconds); }

std::int64_t CVxAudioCaptureSocket::Pull(const CDataBlock& block, std::int64_t count,
                                         std::int64_t position, CTagList& tags) {
  tags.Clear();
  const std::int32_t bytesPerFrame = CaptureFrameSize();
  if (!IsValidFormatCode(sampleFormat) || bytesPerFrame < 1) return 0;
  AssertConsistency(block.traits);
  void* destination = block.traits.raw != 0 ? block.data : nullptr;
  const auto want = static_cast<std::int32_t>(count);

  // Polls without holding the lock, so the capture thread is never kept waiting by a reader.
  bool enough = false;
  for (int check = 0; check < kWaitChecks && !enough; ++check) {
    std::int32_t available = 0;
    {
      CZubThreadMutexLock lock(m_Lock);
      available = m_Ring.GetAvailable();
    }
    enough = available / bytesPerFrame >= want;
    if (!enough) WaitForWriter(kWaitStepMs);
  }

  std::int64_t delivered = 0;
  TCountedRef<CBitstreamTag> tag;
  if (enough) {
    CZubThreadMutexLock lock(m_Lock);
    delivered = m_Ring.Read(destination, want * bytesPerFrame) / bytesPerFrame;
    tag = new CVxAudioCaptureTag(delivered);
  } else {
    // Nothing is read and the block keeps whatever it held: the render side never starves.
    WaitForWriter(kWaitStepMs);
    delivered = want;
    tag = new CVxAudioCaptureTag(0);
  }
  tags.Insert(tag.Get(), position, 0);
  return delivered;
}

}  // namespace halvern
