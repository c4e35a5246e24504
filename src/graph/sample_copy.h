// Strided sample copies for the channel sockets: typed moves for 1-, 2- and 4-byte samples, a
// byte loop for 3- and 8-byte ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace halvern::sample_copy {

template <class T>
inline void Strided(std::uint8_t* destination, std::ptrdiff_t destinationStride,
                    const std::uint8_t* source, std::ptrdiff_t sourceStride, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    T sample;
    std::memcpy(&sample, source + i * sourceStride, sizeof(T));
    std::memcpy(destination + i * destinationStride, &sample, sizeof(T));
  }
}

inline void StridedBytes(std::uint8_t* destination, std::ptrdiff_t destinationStride,
                         const std::uint8_t* source, std::ptrdiff_t sourceStride,
                         std::int64_t count, int width) {
  for (std::int64_t i = 0; i < count; ++i)
    for (int b = 0; b < width; ++b)
      destination[i * destinationStride + b] = source[i * sourceStride + b];
}

// Copies `count` samples of `width` bytes, stepping each side by its own stride in bytes.
inline void CopyStrided(std::uint8_t* destination, std::ptrdiff_t destinationStride,
                        const std::uint8_t* source, std::ptrdiff_t sourceStride, std::int64_t count,
                        int width) {
  switch (width) {
    case 1:
      Strided<std::uint8_t>(destination, destinationStride, source, sourceStride, count);
      break;
    case 2:
      Strided<std::uint16_t>(destination, destinationStride, source, sourceStride, count);
      break;
    case 4:
      Strided<std::uint32_t>(destination, destinationStride, source, sourceStride, count);
      break;
    default:
      StridedBytes(destination, destinationStride, source, sourceStride, count, width);
      break;
  }
}

template <class T>
inline void Replicate(std::uint8_t* data, std::int64_t frames, int copies) {
  for (std::int64_t f = frames - 1; f >= 0; --f) {
    T sample;
    std::memcpy(&sample, data + f * sizeof(T), sizeof(T));
    std::uint8_t* frame = data + f * copies * static_cast<std::int64_t>(sizeof(T));
    for (int c = 0; c < copies; ++c) std::memcpy(frame + c * sizeof(T), &sample, sizeof(T));
  }
}

inline void ReplicateBytes(std::uint8_t* data, std::int64_t frames, int copies, int width) {
  for (std::int64_t f = frames - 1; f >= 0; --f) {
    std::uint8_t sample[8];
    for (int b = 0; b < width; ++b) sample[b] = data[f * width + b];
    std::uint8_t* frame = data + f * copies * width;
    for (int c = 0; c < copies; ++c)
      for (int b = 0; b < width; ++b) frame[c * width + b] = sample[b];
  }
}

// Expands `frames` mono samples at the start of `data` in place to frames of `copies` equal
// samples. Working from the back never overwrites a sample before it is read.
inline void ReplicateInPlace(std::uint8_t* data, std::int64_t frames, int copies, int width) {
  switch (width) {
    case 1:
      Replicate<std::uint8_t>(data, frames, copies);
      break;
    case 2:
      Replicate<std::uint16_t>(data, frames, copies);
      break;
    case 4:
      Replicate<std::uint32_t>(data, frames, copies);
      break;
    default:
      if (width > 0 && width <= 8) ReplicateBytes(data, frames, copies, width);
      break;
  }
}

}  // namespace halvern::sample_copy
