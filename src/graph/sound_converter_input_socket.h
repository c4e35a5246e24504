// Delivers its source in another sample format (same channels, same rate), converting chunk by
// chunk from a scratch block into the caller's block.
#pragma once

#include <cstdint>
#include <memory>

#include "graph/data_storage.h"
#include "graph/sound_pull_socket.h"
#include "samples/sample_funnel.h"

namespace halvern {

class CSoundConverterInputSocket : public CSoundPullSocket {
 public:
  // `filter` may be null; `chunk` is the most source frames converted at a time.
  CSoundConverterInputSocket(const TCountedRef<CSoundPullSocket>& source, std::int32_t targetFormat,
                             const TCountedRef<CSampleFunnel::Filter>& filter, std::int64_t chunk);

  // Chooses the converter for the current source: none when the formats agree and there is no
  // filter (frames then pass straight through), else the family's converter.
  virtual void Rebuild();

  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock& block, std::int64_t count, std::int64_t position,
                    CTagList& tags) override;
  std::int64_t GetLength() override;
  // Takes any source with this socket's channels and rate, whatever its sample format.
  bool ReplaceSource(const TCountedRef<CSoundPullSocket>& source) override;

  // Source frames the scratch holds (0 while frames pass straight through).
  std::int64_t ScratchCapacity() const { return m_Scratch ? m_Scratch->capacity : 0; }
  bool Converts() const { return m_Converter != nullptr; }
  const TCountedRef<CSoundPullSocket>& Source() const { return m_Source; }

 private:
  TCountedRef<CSoundPullSocket> m_Source;
  TCountedRef<CSampleFunnel::Filter> m_Filter;
  std::unique_ptr<CSampleFunnel> m_Converter;
  std::unique_ptr<CDataStorage> m_Scratch;
  std::int64_t m_Chunk;
};

}  // namespace halvern
