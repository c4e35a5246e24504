// A counted marker that travels with a stream at a frame position (see CTagList).
#pragma once

#include "base/counted_object.h"

namespace halvern {

class CBitstreamTag : public virtual CCountedObject {
 public:
  ~CBitstreamTag() override = default;
};

}  // namespace halvern
