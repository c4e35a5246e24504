#include "samples/sample_kernels.h"

#include <cstdint>

#include "samples/sample_codec.h"
#include "samples/sample_traits.h"

#if defined(__SSE2__) || defined(_M_X64)
#define HALVERN_SSE2_KERNELS 1
#include <emmintrin.h>
#endif
// Wider forms for CPUs that have them, chosen at run time; needs GCC/Clang target attributes.
// Not on Windows: mingw-w64 GCC does not align the stack for 32-byte AVX spills.
#if HALVERN_SSE2_KERNELS && defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define HALVERN_X86_DISPATCH 1
#include <immintrin.h>
#define HALVERN_TARGET(isa) __attribute__((target(isa)))
#endif

namespace halvern::sample_kernels {

namespace {

using sample_bytes::Load;
using sample_bytes::Store;

std::int16_t QuantizeOne(float x) {
  if (x <= -1.0f) return -32768;
  if (x > 1.0f) return 32767;
  if (x != x) return 0;
  // Exact in double (24 + 15 bits), so the truncation sees the true product.
  return static_cast<std::int16_t>(static_cast<double>(x) * 32767.0);
}

void FloatToInt32One(unsigned char* dst, const unsigned char* src) {
  TSampleCodec<Int32Traits>::Encode(dst, TSampleCodec<FloatTraits>::Decode(src));
}

}  // namespace

namespace scalar {

// The products below are exact in float (integers of at most 24 bits times a power of two), so
// computing them in float gives the same bits as the double rule narrowed to float.
void Int16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  for (int i = 0; i < count; ++i) {
    Store(dst + 4 * i, static_cast<float>(Load<std::int16_t>(src + 2 * i)) * 0x1p-15f);
  }
}

void Swapped16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  for (int i = 0; i < count; ++i) {
    const auto x =
        static_cast<std::int16_t>(sample_bytes::Swap16(Load<std::uint16_t>(src + 2 * i)));
    Store(dst + 4 * i, static_cast<float>(x) * 0x1p-15f);
  }
}

void Swap16(unsigned char* dst, const unsigned char* src, int count) {
  for (int i = 0; i < count; ++i) {
    Store(dst + 2 * i, sample_bytes::Swap16(Load<std::uint16_t>(src + 2 * i)));
  }
}

void Packed24ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  for (int i = 0; i < count; ++i) {
    const std::int32_t x = sample_bytes::SignExtend24(sample_bytes::Load24LE(src + 3 * i));
    Store(dst + 4 * i, static_cast<float>(x) * 0x1p-23f);
  }
}

void FloatToInt32(unsigned char* dst, const unsigned char* src, int count) {
  for (int i = 0; i < count; ++i) FloatToInt32One(dst + 4 * i, src + 4 * i);
}

void QuantizeFloatToInt16(unsigned char* dst, const unsigned char* src, int count, bool swap) {
  for (int i = 0; i < count; ++i) {
    auto y = static_cast<std::uint16_t>(QuantizeOne(Load<float>(src + 4 * i)));
    Store(dst + 2 * i, swap ? sample_bytes::Swap16(y) : y);
  }
}

}  // namespace scalar

#ifdef HALVERN_SSE2_KERNELS

namespace {

__m128i Swap16x8(__m128i v) { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }

void StoreShortsAsFloats(unsigned char* dst, __m128i shorts) {
  const __m128 scale = _mm_set1_ps(0x1p-15f);
  const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(shorts, shorts), 16);
  const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(shorts, shorts), 16);
  _mm_storeu_ps(reinterpret_cast<float*>(dst), _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
  _mm_storeu_ps(reinterpret_cast<float*>(dst + 16), _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
}

__m128i LoadBytes(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

void Int16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  int i = 0;
  for (; i + 8 <= count; i += 8) StoreShortsAsFloats(dst + 4 * i, LoadBytes(src + 2 * i));
  scalar::Int16ToFloat(dst + 4 * i, src + 2 * i, count - i);
}

void Swapped16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  int i = 0;
  for (; i + 8 <= count; i += 8) StoreShortsAsFloats(dst + 4 * i, Swap16x8(LoadBytes(src + 2 * i)));
  scalar::Swapped16ToFloat(dst + 4 * i, src + 2 * i, count - i);
}

void Swap16(unsigned char* dst, const unsigned char* src, int count) {
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), Swap16x8(LoadBytes(src + 2 * i)));
  }
  scalar::Swap16(dst + 2 * i, src + 2 * i, count - i);
}

static void Packed24ToFloatSse2(unsigned char* dst, const unsigned char* src, int count) {
  const __m128 scale = _mm_set1_ps(0x1p-23f);
  int i = 0;
  // Four samples are 12 bytes, but the load takes 16: stop while six samples (18 bytes) remain.
  for (; i + 6 <= count; i += 4) {
    const __m128i v = LoadBytes(src + 3 * i);
    const __m128i s01 = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
    const __m128i s23 = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
    const __m128i words = _mm_unpacklo_epi64(s01, s23);
    const __m128i x = _mm_srai_epi32(_mm_slli_epi32(words, 8), 8);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + 4 * i), _mm_mul_ps(_mm_cvtepi32_ps(x), scale));
  }
  scalar::Packed24ToFloat(dst + 4 * i, src + 3 * i, count - i);
}

static void FloatToInt32Sse2(unsigned char* dst, const unsigned char* src, int count) {
  using S = TFullRangeScale<Int32Traits>;
  const __m128d offset = _mm_set1_pd(S::kOffset);
  const __m128d half = _mm_set1_pd(S::kHalf);
  // The vector conversion answers 0x80000000 for anything outside the 32-bit range (and NaN);
  // such groups are redone by the scalar rule, which also covers an exact -2^31.
  const __m128i invalid = _mm_set1_epi32(INT32_MIN);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128 x = _mm_loadu_ps(reinterpret_cast<const float*>(src + 4 * i));
    const __m128d lo = _mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(x), offset), half);
    const __m128d hi = _mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), offset), half);
    const __m128i y = _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(y, invalid)) != 0) {
      scalar::FloatToInt32(dst + 4 * i, src + 4 * i, 4);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), y);
    }
  }
  scalar::FloatToInt32(dst + 4 * i, src + 4 * i, count - i);
}

namespace {

// The quantizer rule in single precision but exact. With u = min(|x|, 1), A = u * 32768 is exact,
// k = trunc(A) and f = A - k are exact, and u * 32767 = k + (f - u) with f - u in (-1, 1): its
// floor is k - 1 when f < u, else k. This gives the magnitude, at most 32767; the sign and the
// extra step of x <= -1 are put in after packing, on twice as many lanes per instruction.
__m128i MagnitudeFour(__m128 x) {
  // max answers its second operand when the first is NaN: a NaN sample gets u = 0, hence 0.
  const __m128 absolute = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
  const __m128 u = _mm_min_ps(_mm_max_ps(absolute, _mm_setzero_ps()), _mm_set1_ps(1.0f));
  const __m128 a = _mm_mul_ps(u, _mm_set1_ps(32768.0f));
  const __m128i k = _mm_cvttps_epi32(a);
  const __m128 below = _mm_cmplt_ps(_mm_sub_ps(a, _mm_cvtepi32_ps(k)), u);
  return _mm_add_epi32(k, _mm_castps_si128(below));
}

// Eight magnitudes to signed 16-bit results. Packing the raw float bits keeps each sign (-0 and
// negative NaNs included, whose magnitude is 0), so m is 0 or -1 and (v + m) ^ m is v or -v; -1
// gives -32767 so far, and everything at or below -1 takes one more step, to -32768.
__m128i SignedEight(__m128i magnitude, __m128 x0, __m128 x1) {
  const __m128i m = _mm_srai_epi16(_mm_packs_epi32(_mm_castps_si128(x0), _mm_castps_si128(x1)), 15);
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128i atOrBelow = _mm_packs_epi32(_mm_castps_si128(_mm_cmple_ps(x0, minusOne)),
                                            _mm_castps_si128(_mm_cmple_ps(x1, minusOne)));
  return _mm_add_epi16(_mm_xor_si128(_mm_add_epi16(magnitude, m), m), atOrBelow);
}

}  // namespace

static void QuantizeFloatToInt16Sse2(unsigned char* dst, const unsigned char* src, int count,
                                     bool swap) {
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const auto* in = reinterpret_cast<const float*>(src + 4 * i);
    const __m128 x0 = _mm_loadu_ps(in);
    const __m128 x1 = _mm_loadu_ps(in + 4);
    __m128i y = SignedEight(_mm_packs_epi32(MagnitudeFour(x0), MagnitudeFour(x1)), x0, x1);
    if (swap) y = Swap16x8(y);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), y);
  }
  scalar::QuantizeFloatToInt16(dst + 2 * i, src + 4 * i, count - i, swap);
}

#ifdef HALVERN_X86_DISPATCH

HALVERN_TARGET("ssse3")
static void Packed24ToFloatSsse3(unsigned char* dst, const unsigned char* src, int count) {
  // Each sample's three bytes go to the top of its 32-bit lane: the lane holds x * 256 exactly, and
  // x * 256 * 2^-31 is the exact x * 2^-23.
  const __m128i spread = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
  const __m128 scale = _mm_set1_ps(0x1p-31f);
  int i = 0;
  for (; i + 6 <= count; i += 4) {
    const __m128i x = _mm_shuffle_epi8(LoadBytes(src + 3 * i), spread);
    _mm_storeu_ps(reinterpret_cast<float*>(dst + 4 * i), _mm_mul_ps(_mm_cvtepi32_ps(x), scale));
  }
  scalar::Packed24ToFloat(dst + 4 * i, src + 3 * i, count - i);
}

HALVERN_TARGET("avx")
static void FloatToInt32Avx(unsigned char* dst, const unsigned char* src, int count) {
  using S = TFullRangeScale<Int32Traits>;
  const __m256d offset = _mm256_set1_pd(S::kOffset);
  const __m256d half = _mm256_set1_pd(S::kHalf);
  const __m128i invalid = _mm_set1_epi32(INT32_MIN);
  const auto* in = reinterpret_cast<const float*>(src);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i lo = _mm256_cvttpd_epi32(
        _mm256_mul_pd(_mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(in + i)), offset), half));
    const __m128i hi = _mm256_cvttpd_epi32(
        _mm256_mul_pd(_mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(in + i + 4)), offset), half));
    const __m128i bad = _mm_or_si128(_mm_cmpeq_epi32(lo, invalid), _mm_cmpeq_epi32(hi, invalid));
    if (_mm_movemask_epi8(bad) != 0) {
      scalar::FloatToInt32(dst + 4 * i, src + 4 * i, 8);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i + 16), hi);
    }
  }
  scalar::FloatToInt32(dst + 4 * i, src + 4 * i, count - i);
}

// The method of MagnitudeFour and SignedEight, twice as wide, with one step less: a NaN is let
// through the clamp (min answers its second operand then), its conversion gives INT32_MIN, and the
// unsigned saturation of packus turns that into magnitude 0.
HALVERN_TARGET("avx2")
static __m256i MagnitudeEight(__m256 x) {
  const __m256 absolute = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
  const __m256 u = _mm256_min_ps(_mm256_set1_ps(1.0f), absolute);
  const __m256 a = _mm256_mul_ps(u, _mm256_set1_ps(32768.0f));
  const __m256i k = _mm256_cvttps_epi32(a);
  const __m256 below = _mm256_cmp_ps(_mm256_sub_ps(a, _mm256_cvtepi32_ps(k)), u, _CMP_LT_OQ);
  return _mm256_add_epi32(k, _mm256_castps_si256(below));
}

HALVERN_TARGET("avx2")
static void QuantizeFloatToInt16Avx2(unsigned char* dst, const unsigned char* src, int count,
                                     bool swap) {
  const auto* in = reinterpret_cast<const float*>(src);
  const __m256 minusOne = _mm256_set1_ps(-1.0f);
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256 x0 = _mm256_loadu_ps(in + i);
    const __m256 x1 = _mm256_loadu_ps(in + i + 8);
    const __m256i magnitude = _mm256_packus_epi32(MagnitudeEight(x0), MagnitudeEight(x1));
    const __m256i m =
        _mm256_srai_epi16(_mm256_packs_epi32(_mm256_castps_si256(x0), _mm256_castps_si256(x1)), 15);
    const __m256i atOrBelow =
        _mm256_packs_epi32(_mm256_castps_si256(_mm256_cmp_ps(x0, minusOne, _CMP_LE_OQ)),
                           _mm256_castps_si256(_mm256_cmp_ps(x1, minusOne, _CMP_LE_OQ)));
    __m256i y = _mm256_add_epi16(_mm256_xor_si256(_mm256_add_epi16(magnitude, m), m), atOrBelow);
    // packs works within 128-bit lanes; put the four quarters back in order afterwards.
    y = _mm256_permute4x64_epi64(y, 0xD8);
    if (swap) y = _mm256_or_si256(_mm256_slli_epi16(y, 8), _mm256_srli_epi16(y, 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), y);
  }
  QuantizeFloatToInt16Sse2(dst + 2 * i, src + 4 * i, count - i, swap);
}

#endif  // HALVERN_X86_DISPATCH

std::vector<KernelForm> AvailableForms() {
  std::vector<KernelForm> forms = {
      {"sse2", Packed24ToFloatSse2, FloatToInt32Sse2, QuantizeFloatToInt16Sse2}};
#ifdef HALVERN_X86_DISPATCH
  __builtin_cpu_init();
  const bool ssse3 = __builtin_cpu_supports("ssse3");
  const bool avx = __builtin_cpu_supports("avx");
  const bool avx2 = __builtin_cpu_supports("avx2");
  if (ssse3 || avx) {
    forms.push_back({avx2  ? "ssse3+avx2"
                     : avx ? "ssse3+avx"
                           : "ssse3",
                     ssse3 ? Packed24ToFloatSsse3 : Packed24ToFloatSse2,
                     avx ? FloatToInt32Avx : FloatToInt32Sse2,
                     avx2 ? QuantizeFloatToInt16Avx2 : QuantizeFloatToInt16Sse2});
  }
#endif
  return forms;
}

namespace {

// The widest form this CPU runs, chosen once.
const KernelForm& Chosen() {
  static const KernelForm form = AvailableForms().back();
  return form;
}

}  // namespace

void Packed24ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  Chosen().packed24ToFloat(dst, src, count);
}
void FloatToInt32(unsigned char* dst, const unsigned char* src, int count) {
  Chosen().floatToInt32(dst, src, count);
}
void QuantizeFloatToInt16(unsigned char* dst, const unsigned char* src, int count, bool swap) {
  Chosen().quantize(dst, src, count, swap);
}

#else

void Int16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  scalar::Int16ToFloat(dst, src, count);
}
void Swapped16ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  scalar::Swapped16ToFloat(dst, src, count);
}
void Swap16(unsigned char* dst, const unsigned char* src, int count) {
  scalar::Swap16(dst, src, count);
}
void Packed24ToFloat(unsigned char* dst, const unsigned char* src, int count) {
  scalar::Packed24ToFloat(dst, src, count);
}
void FloatToInt32(unsigned char* dst, const unsigned char* src, int count) {
  scalar::FloatToInt32(dst, src, count);
}
void QuantizeFloatToInt16(unsigned char* dst, const unsigned char* src, int count, bool swap) {
  scalar::QuantizeFloatToInt16(dst, src, count, swap);
}
std::vector<KernelForm> AvailableForms() {
  return {{"scalar", scalar::Packed24ToFloat, scalar::FloatToInt32, scalar::QuantizeFloatToInt16}};
}

#endif

}  // namespace halvern::sample_kernels
