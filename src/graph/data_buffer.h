// A finite in-memory stream that can be pulled from and pushed into at any position.
#pragma once

#include <cstdint>

#include "graph/data_pull_socket.h"
#include "graph/data_push_socket.h"
#include "graph/data_storage.h"
#include "graph/tag_list.h"

namespace halvern {

class CDataBuffer : public virtual CDataPullSocket, public virtual CDataPushSocket {
 public:
  // Storage of lead + length + tail frames, silent unless skipClear; stream position p lives
  // in storage frame p + lead. Copies the entries of `initialTags` when given.
  CDataBuffer(std::int32_t size, std::int64_t length, bool skipClear, const CTagList* initialTags,
              std::int64_t lead, std::int64_t tail);

  std::int64_t GetLength() override;

  using CDataPullSocket::Pull;
  // Frames before position 0 read as silence; the result is short only past the end.
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  using CDataPushSocket::Push;
  // A range that starts outside [0, length) is dropped whole; one that runs past the end is cut.
  void Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
            CTagList& tags) override;

  const CDataBlock& StorageBlock() const { return m_Storage.block; }
  std::int64_t Cursor() const { return m_Cursor; }
  const CTagList& Tags() const { return m_Tags; }

 private:
  CDataStorage m_Storage;
  std::int64_t m_Cursor = 0;
  std::int64_t m_Lead;
  std::int64_t m_Tail;
  CTagList m_Tags;
};

}  // namespace halvern
