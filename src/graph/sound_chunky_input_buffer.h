// Reads its source in fixed-size chunks at explicit positions and keeps a sliding window of them
// between silent margins, so that a consumer working on one chunk can also read the chunk
// before and the chunk after it.
#pragma once

#include <cstdint>

#include "graph/data_storage.h"
#include "graph/sound_pull_socket.h"
#include "graph/tag_list.h"

namespace halvern {

class CSoundChunkyInputBuffer : public CSoundPullSocket {
 public:
  // Chunks counted for a source without a length.
  static constexpr std::int32_t kUnboundedChunkCount = 0x7FFF0000;
  // The silent margin before and after the window, in chunks.
  static constexpr std::int32_t kMarginChunks = 3;

  // A window of `windowChunks` chunks of `chunk` frames; `fillNow` reads the first window at
  // once instead of on first use.
  CSoundChunkyInputBuffer(const TCountedRef<CSoundPullSocket>& source, std::int32_t windowChunks,
                          std::int64_t chunk, bool fillNow);

  // The source's length, or the shorter length found when the source ended early.
  std::int64_t GetLength() override;
  // The first frame of chunk `index` inside the window; valid until the next GetChunk or Pull.
  // It may be read from one chunk before to one chunk after; indices up to two chunks outside
  // the source land in the silent margins. `tags`, when given, receives the chunk's tags.
  virtual CDataBlock GetChunk(std::int32_t index, CTagList* tags);

  using CDataPullSocket::Pull;
  // Any position; frames outside the source (before 0, or past an early end) arrive as silence,
  // so the result is the request clipped to the source length.
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;

  std::int32_t WindowFirst() const { return m_WindowFirst; }
  std::int32_t ChunkCount() const { return m_ChunkCount; }
  // The frame at window chunk `windowChunk`, frame 0 (negative and past-the-window values reach
  // into the margins).
  CDataBlock WindowBlock(std::int64_t windowChunk) const;

 private:
  void InitialFill();
  // Reads window chunks [first, first + count) from the source at the window's current place.
  void Reload(std::int64_t first, std::int64_t count);

  TCountedRef<CSoundPullSocket> m_Source;
  std::int64_t m_SourceLength;
  std::int64_t m_Margin;
  std::int32_t m_WindowFirst = 0;
  std::int32_t m_WindowChunks;
  CDataStorage m_Storage;
  std::int64_t m_Chunk;
  std::int32_t m_ChunkCount;
  std::int64_t m_Cursor = 0;
  CTagList m_Tags;
  bool m_Loaded = false;
};

}  // namespace halvern
