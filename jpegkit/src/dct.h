// The 8x8 discrete cosine transforms (T.81 A.3.3) in single precision. Each
// transform has a plain C++ version and vector versions (SSE2, which every
// x86-64 has, and AVX2), chosen once at run time; all of them apply the same
// float operations in the same order, so they give identical bytes. The
// reference versions compute the defining sums in double precision; the
// plain versions are tested against them within one step of rounding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace jk {

struct DctKernels {
  // Inverse DCT of dequantised coefficients (natural order) into 8x8
  // samples (level shift of 128 added, rounded to nearest even, clamped to
  // 0..255).
  void (*idct)(const int16_t* coef, uint8_t* out, ptrdiff_t stride);
  // Forward DCT of 8x8 samples (0..255) and quantisation: each coefficient
  // is multiplied by recip[k] = 1 / q[k] (natural order) and rounded, halves
  // away from zero. Results are limited to what baseline Huffman coding can
  // carry (DC +-2047, AC +-1023).
  void (*fdct_quantise)(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out);
};

// The fastest versions this processor runs.
const DctKernels& dct_kernels();
// Every version this processor runs, by name, the plain one first (for the
// tests that compare them).
struct NamedDctKernels {
  const char* name;
  DctKernels k;
};
std::vector<NamedDctKernels> dct_kernel_versions();

// The fastest versions, called directly.
inline void idct_block(const int16_t* coef, uint8_t* out, ptrdiff_t stride) { dct_kernels().idct(coef, out, stride); }
inline void fdct_quantise(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  dct_kernels().fdct_quantise(in, stride, recip, out);
}

// The defining sums.
void idct_block_reference(const int16_t* coef, uint8_t* out, ptrdiff_t stride);
void fdct_quantise_reference(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out);

#if defined(__x86_64__)
// The AVX2 versions (x86/dct_avx2.cpp); only called when the processor has AVX2.
void idct_avx2(const int16_t* coef, uint8_t* out, ptrdiff_t stride);
void fdct_quantise_avx2(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out);
#endif

}  // namespace jk
