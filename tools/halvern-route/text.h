// UTF-8 <-> UTF-16 for the host side of the exports (records and ids are UTF-16). Invalid input
// becomes U+FFFD; a record field is read up to its terminator or its end, never past it.
#pragma once

#include <cstddef>
#include <string>

#include "kovra_api.h"

namespace halvern::route {

using KovraString = std::basic_string<KovraChar16>;

std::string ToUtf8(const KovraChar16* text, std::size_t maxUnits);
KovraString ToKovra(const std::string& utf8);

template <std::size_t N>
std::string ToUtf8(const KovraChar16 (&field)[N]) {
  return ToUtf8(field, N);
}

}  // namespace halvern::route
