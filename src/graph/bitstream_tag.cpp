#include "graph/bitstream_tag.h"

#include <cstdio>
#include <typeinfo>

namespace halvern {

namespace {

constexpr std::size_t kMaxDescriptionChars = 95;

}  // namespace

void CBitstreamTag::AppendDescription(std::string& text) const {
  char description[kMaxDescriptionChars + 1];
  std::snprintf(description, sizeof description, "[Tag:%s@0x%p]", typeid(*this).name(),
                static_cast<const void*>(this));
  text += description;
}

}  // namespace halvern
