// A counted marker that travels with a stream at a frame position (see CTagList).
#pragma once

#include <string>

#include "base/counted_object.h"

namespace halvern {

class CBitstreamTag : public virtual CCountedObject {
 public:
  ~CBitstreamTag() override = default;

  // Appends "[Tag:<class>@0x<address>]", at most 95 characters, for diagnostics.
  virtual void AppendDescription(std::string& text) const;
};

}  // namespace halvern
