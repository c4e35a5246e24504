// An owning, 64-byte aligned allocation of frames.
#pragma once

#include <cstdint>

#include "graph/data_block.h"

namespace halvern {

class CDataStorage {
 public:
  // Raw frames of frameSize bytes; a null data pointer and capacity 0 when capacity <= 0. Throws
  // std::bad_alloc when the frames cannot be allocated: whoever builds a chain reports that as
  // a failure instead of running with a buffer that has a capacity and no data.
  CDataStorage(std::int32_t frameSize, std::int64_t capacity);
  CDataStorage(const CDataStorage&) = delete;
  CDataStorage& operator=(const CDataStorage&) = delete;
  ~CDataStorage();

  // Frees the frames (releasing each reference first when the block holds references).
  void Release();

  CDataBlock block;
  std::int64_t capacity;
};

}  // namespace halvern
