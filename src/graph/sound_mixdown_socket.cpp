#include "graph/sound_mixdown_socket.h"

#include <algorithm>
#include <cstring>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "samples/sample_format.h"

namespace halvern {

namespace {

void MixInt16(std::uint8_t* destination, const std::uint8_t* pairs, std::int64_t frames) {
  for (std::int64_t f = 0; f < frames; ++f) {
    std::int16_t left;
    std::int16_t right;
    std::memcpy(&left, pairs + 4 * f, 2);
    std::memcpy(&right, pairs + 4 * f + 2, 2);
    // The mean rounded half up: an arithmetic shift of the sign-extended sum.
    const auto mixed = static_cast<std::int16_t>((left + right + 1) >> 1);
    std::memcpy(destination + 2 * f, &mixed, 2);
  }
}

void MixFloat(std::uint8_t* destination, const std::uint8_t* pairs, std::int64_t frames) {
  for (std::int64_t f = 0; f < frames; ++f) {
    float left;
    float right;
    std::memcpy(&left, pairs + 8 * f, 4);
    std::memcpy(&right, pairs + 8 * f + 4, 4);
    const float mixed = (left + right) * 0.5f;
    std::memcpy(destination + 4 * f, &mixed, 4);
  }
}

}  // namespace

// Only the two mix formats have a defined mean; the chain builder converts to one of them first.
CSoundMixdownSocket::CSoundMixdownSocket(const CSoundTraits& traits,
                                         const TCountedRef<CSoundPullSocket>& source,
                                         const TCountedRef<CSoundBuffer>& scratch)
    : CSoundPullSocket(traits), m_Source(source), m_Scratch(scratch) {
  const bool mixFormat = sampleFormat == kFormatInt16 || sampleFormat == kFormatFloat;
  if (!mixFormat || channels != 1 || !source || source->channels != 2 ||
      source->sampleFormat != sampleFormat || !scratch || scratch->frameSize != source->frameSize)
    throw kErrBadArgument;
}

std::int64_t CSoundMixdownSocket::GetLength() { return m_Source->GetLength(); }

std::int64_t CSoundMixdownSocket::Pull(const CDataBlock& block, std::int64_t count,
                                       std::int64_t position, CTagList& tags) {
  AssertConsistency(block.traits);
  tags.Clear();
  if (block.traits.raw == 0) return 0;
  std::uint8_t* destination = block.data;
  const std::int64_t scratchLength = m_Scratch->GetLength();
  const CDataBlock& scratch = m_Scratch->StorageBlock();
  const int width = SampleWidth(sampleFormat);
  std::int64_t remaining = count;
  while (remaining >= 1) {
    const std::int64_t n = std::min(scratchLength, remaining);
    CTagList sourceTags;
    const std::int64_t got = m_Source->Pull(scratch, n, position, sourceTags);
    if (scratch.traits.raw == 0 || scratch.data == nullptr || got < 1) break;
    tags.Splice(sourceTags);
    remaining -= got;
    if (position != kUnspecifiedFrames) position += got;
    if (sampleFormat == kFormatInt16)
      MixInt16(destination, scratch.data, got);
    else
      MixFloat(destination, scratch.data, got);
    destination += got * width;
  }
  return count - remaining;
}

}  // namespace halvern
