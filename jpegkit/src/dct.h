// The 8x8 discrete cosine transforms (T.81 A.3.3). The working versions use
// SSE2 where the processor has it (every x86-64 does) and plain C++
// elsewhere; the reference versions compute the defining sums in double
// precision and are what the fast ones are tested against.
#pragma once
#include <cstddef>
#include <cstdint>

namespace jk {

// Inverse DCT of dequantised coefficients (natural order) into 8x8 samples
// (level shift of 128 added, rounded, clamped to 0..255).
void idct_block(const int16_t* coef, uint8_t* out, ptrdiff_t stride);
void idct_block_reference(const int16_t* coef, uint8_t* out, ptrdiff_t stride);

// Forward DCT of 8x8 samples (0..255) and quantisation: each coefficient is
// multiplied by recip[k] = 1 / q[k] (natural order) and rounded. Results are
// limited to what baseline Huffman coding can carry (DC +-2047, AC +-1023).
void fdct_quantise(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out);
void fdct_quantise_reference(const uint8_t* in, ptrdiff_t stride, const float* recip,
                             int16_t* out);

}  // namespace jk
