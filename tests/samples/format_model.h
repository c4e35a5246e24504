// A slow, byte-by-byte model of the sample format rules, written straight from the format tables
// (layouts, ranges and the documented constants), for checking the converters against.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace format_model {

enum class Kind { kFullRange, kSigned24, kWide25, kSwappedWide25, kFloat, kDouble };

// Scale, offset and half matter for the full-range formats only.
struct Format {
  int code, width;
  bool bigEndian;
  Kind kind;
  double scale, offset, half;
};

// Constants as documented for the full-range formats.
constexpr double kScale8 = 2.0 / 255;
constexpr double kScale16 = 2.0 / 65535;
constexpr double kScale24 = 2.0 / 16777215;
constexpr double kScale32 = 2.0 / 4294967295.0;

inline const Format& Get(int code) {
  static const Format kFormats[27] = {
      {0, 0, false, Kind::kFullRange, 0, 0, 0},
      {1, 1, false, Kind::kFullRange, kScale8, 0.0039215686274509665, 127.5},
      {2, 2, false, Kind::kFullRange, kScale16, 1.5259021896696368e-05, 32767.5},
      {3, 3, false, Kind::kSigned24, 0, 0, 0},
      {4, 4, false, Kind::kSigned24, 0, 0, 0},
      {5, 4, false, Kind::kFullRange, kScale32, 2.3283064365386963e-10, 2147483647.5},
      {6, 4, false, Kind::kFloat, 0, 0, 0},
      {7, 8, false, Kind::kDouble, 0, 0, 0},
      {8, 1, false, Kind::kFullRange, kScale8, -1, 127.5},
      {9, 2, false, Kind::kFullRange, kScale16, -1, 32767.5},
      {10, 3, false, Kind::kFullRange, kScale24, -1, 8388607.5},
      {11, 4, false, Kind::kFullRange, kScale24, -1, 8388607.5},
      {12, 4, false, Kind::kFullRange, kScale32, -1, 2147483647.5},
      {13, 1, true, Kind::kFullRange, kScale8, 0.0039215686274509665, 127.5},
      {14, 2, true, Kind::kFullRange, kScale16, 1.5259021896696368e-05, 32767.5},
      {15, 3, true, Kind::kSigned24, 0, 0, 0},
      {16, 4, true, Kind::kSigned24, 0, 0, 0},
      {17, 4, true, Kind::kFullRange, kScale32, 2.3283064365386963e-10, 2147483647.5},
      {18, 4, true, Kind::kFloat, 0, 0, 0},
      {19, 8, true, Kind::kDouble, 0, 0, 0},
      {20, 1, true, Kind::kFullRange, kScale8, -1, 127.5},
      {21, 2, true, Kind::kFullRange, kScale16, -1, 32767.5},
      {22, 3, true, Kind::kFullRange, kScale24, -1, 8388607.5},
      {23, 4, true, Kind::kFullRange, kScale24, -1, 8388607.5},
      {24, 4, true, Kind::kFullRange, kScale32, -1, 2147483647.5},
      {25, 4, false, Kind::kWide25, 0, 0, 0},
      {26, 4, true, Kind::kSwappedWide25, 0, 0, 0},
  };
  return kFormats[code];
}

inline bool IsSigned(int code) { return code <= 7 || (code >= 13 && code <= 19) || code >= 25; }

// The stored bytes as one unsigned number, most significant byte first for big-endian formats.
inline std::uint64_t Assemble(const Format& f, const unsigned char* p) {
  std::uint64_t u = 0;
  for (int i = 0; i < f.width; ++i) {
    const int byteIndex = f.bigEndian ? i : f.width - 1 - i;
    u = u << 8 | p[byteIndex];
  }
  return u;
}

inline void Scatter(const Format& f, std::uint64_t u, unsigned char* p) {
  for (int i = 0; i < f.width; ++i) {
    const int byteIndex = f.bigEndian ? f.width - 1 - i : i;
    p[byteIndex] = static_cast<unsigned char>(u >> (8 * i));
  }
}

inline std::int64_t SignedFromBits(std::uint64_t u, int bits) {
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  u &= (sign << 1) - 1;
  return (u & sign) ? static_cast<std::int64_t>(u) - static_cast<std::int64_t>(sign << 1)
                    : static_cast<std::int64_t>(u);
}

// The integer a stored sample of an integer format reads as.
inline std::int64_t ReadInteger(int code, const unsigned char* p) {
  const Format& f = Get(code);
  const std::uint64_t u = Assemble(f, p);
  switch (code) {
    case 4:
    case 16:
      return SignedFromBits(u, 24);  // pad byte ignored
    case 11:
      return static_cast<std::int64_t>(u & 0xFFFFFF);
    case 23:
      return static_cast<std::int64_t>(u);  // whole word, unmasked
    default:
      return IsSigned(code) ? SignedFromBits(u, 8 * f.width) : static_cast<std::int64_t>(u);
  }
}

inline void WriteInteger(int code, std::int64_t y, unsigned char* p) {
  const auto u = static_cast<std::uint64_t>(y);
  Scatter(Get(code), code == 16 ? u & 0xFFFFFF : u, p);  // 16 writes its leading pad byte as 0
}

inline double Decode(int code, const unsigned char* p) {
  const Format& f = Get(code);
  const std::uint64_t bits = Assemble(f, p);
  if (f.kind == Kind::kFloat) return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  if (f.kind == Kind::kDouble) return std::bit_cast<double>(bits);
  const auto x = static_cast<double>(ReadInteger(code, p));
  if (f.kind == Kind::kFullRange) {
    const double scaled = x * f.scale;
    return scaled + f.offset;
  }
  return f.kind == Kind::kSigned24 ? x / 8388608.0 : x / 16777216.0;
}

// Truncation toward zero; beyond the 64-bit range the result saturates and NaN gives 0.
inline std::int64_t Truncate(double v) {
  if (std::isnan(v)) return 0;
  const double t = std::trunc(v);
  if (t >= 9223372036854775807.0) return INT64_MAX;
  if (t <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(t);
}

inline void Encode(int code, double d, unsigned char* p) {
  const Format& f = Get(code);
  if (f.kind == Kind::kFloat)
    return Scatter(f, std::bit_cast<std::uint32_t>(static_cast<float>(d)), p);
  if (f.kind == Kind::kDouble) return Scatter(f, std::bit_cast<std::uint64_t>(d), p);
  double v = d * 16777216.0;  // swapped wide 25
  if (f.kind == Kind::kFullRange) {
    const double shifted = d - f.offset;
    v = shifted * f.half;
  } else if (f.kind == Kind::kSigned24) {
    v = d * 8388607.0;
  } else if (f.kind == Kind::kWide25) {
    v = d * 16777215.0;
  }
  WriteInteger(code, Truncate(v), p);
}

inline bool IsShort(int code) { return code == 2 || code == 14; }

inline std::int16_t Quantize(double d) {
  if (d <= -1.0) return -32768;
  if (d > 1.0) return 32767;
  if (std::isnan(d)) return 0;
  return static_cast<std::int16_t>(std::trunc(d * 32767.0));
}

// One sample from `from` to `to`, with an optional filter (a plain function on the normalised
// scale), following the pair's rule including the short/float special cases.
template <class FilterFn>
void ConvertOne(int from, int to, const unsigned char* src, unsigned char* dst, bool filtered,
                FilterFn filter) {
  if (from == 6 && IsShort(to)) {
    const double d = Decode(6, src);
    WriteInteger(to, Quantize(filtered ? filter(d) : d), dst);
    return;
  }
  if (IsShort(from) && (to == 6 || (IsShort(to) && to != from))) {
    if (!filtered && to != 6) {
      dst[0] = src[1];
      dst[1] = src[0];
      return;
    }
    double d = static_cast<double>(ReadInteger(from, src)) / 32768.0;
    if (filtered) d = filter(d);
    if (to == 6) {
      Encode(6, d, dst);
    } else {
      WriteInteger(to, Truncate(d * 32767.0), dst);
    }
    return;
  }
  double d = Decode(from, src);
  if (filtered) d = filter(d);
  Encode(to, d, dst);
}

}  // namespace format_model
