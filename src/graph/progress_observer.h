// Receives the frame count of every chunk a pump moves.
#pragma once

#include <cstdint>

namespace halvern {

class CProgressObserver {
 public:
  virtual ~CProgressObserver() = default;
  virtual void OnProgress(std::int64_t frames) = 0;
};

}  // namespace halvern
