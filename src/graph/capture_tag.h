// The tag a capture socket attaches to every pull: how many of the delivered frames really came
// from the capture (0 when the pull timed out and reported the block's old contents).
#pragma once

#include <cstdint>

#include "base/thread_free_list.h"
#include "graph/bitstream_tag.h"

namespace halvern {

// Made and dropped on the render thread once per pull: recycled rather than allocated.
class CVxAudioCaptureTag final : public CBitstreamTag,
                                 public TRecycledPerThread<CVxAudioCaptureTag> {
 public:
  explicit CVxAudioCaptureTag(std::int64_t capturedFrames) : m_CapturedFrames(capturedFrames) {}
  virtual std::int64_t GetCapturedFrames() const { return m_CapturedFrames; }

 private:
  std::int64_t m_CapturedFrames;
};

}  // namespace halvern
