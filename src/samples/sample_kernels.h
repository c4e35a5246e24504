// Bulk loops of the conversions that run on every block of the common capture and render paths.
// Each has a scalar form written from the per-sample rule and, on x86-64, an SSE2 form (part of the
// x86-64 baseline) that produces the same bits; where the compiler allows, wider forms (SSSE3, AVX)
// are picked at run time by the CPU's features. The scalar forms stay callable so tests can
// compare.
#pragma once

#include <vector>

namespace halvern::sample_kernels {

// 16-bit (native or swapped) to float: x / 32768.
void Int16ToFloat(unsigned char* dst, const unsigned char* src, int count);
void Swapped16ToFloat(unsigned char* dst, const unsigned char* src, int count);
// Exchanges the two bytes of every 16-bit sample.
void Swap16(unsigned char* dst, const unsigned char* src, int count);
// Packed 24-bit to float: x / 8388608.
void Packed24ToFloat(unsigned char* dst, const unsigned char* src, int count);
// Float to 32-bit by the full-range rule: trunc((x - 2^-32) * 2147483647.5), low 32 bits.
void FloatToInt32(unsigned char* dst, const unsigned char* src, int count);
// Float to 16-bit with clipping: x <= -1 gives -32768, x > 1 gives 32767, NaN gives 0, otherwise
// trunc(x * 32767). `swap` stores big-endian.
void QuantizeFloatToInt16(unsigned char* dst, const unsigned char* src, int count, bool swap);

// The forms of the three kernels that depend on the CPU, narrowest first; the plain names above
// use the last. Tests run every form against the scalar rule.
using Kernel = void (*)(unsigned char* dst, const unsigned char* src, int count);
using QuantizeKernel = void (*)(unsigned char* dst, const unsigned char* src, int count, bool swap);
struct KernelForm {
  const char* name;
  Kernel packed24ToFloat;
  Kernel floatToInt32;
  QuantizeKernel quantize;
};
std::vector<KernelForm> AvailableForms();

namespace scalar {
void Int16ToFloat(unsigned char* dst, const unsigned char* src, int count);
void Swapped16ToFloat(unsigned char* dst, const unsigned char* src, int count);
void Swap16(unsigned char* dst, const unsigned char* src, int count);
void Packed24ToFloat(unsigned char* dst, const unsigned char* src, int count);
void FloatToInt32(unsigned char* dst, const unsigned char* src, int count);
void QuantizeFloatToInt16(unsigned char* dst, const unsigned char* src, int count, bool swap);
}  // namespace scalar

}  // namespace halvern::sample_kernels
