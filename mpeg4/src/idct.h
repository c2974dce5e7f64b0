// The 8x8 inverse DCT and the writing of its result into a picture.
#pragma once
#include <cstdint>

namespace mpeg4 {

// Inverse transform of 64 coefficients (natural order) into 64 residuals,
// each the exact transform rounded to the nearest integer (single-precision
// arithmetic with butterflies). rows: bit v set when row v of the
// coefficients may hold a non-zero value (0xFF when unknown).
void idct8x8(const int16_t* coef, int16_t* out, unsigned rows = 0xFF);

// The same transform written straight as its definition in double precision:
// the reference the fast version is tested against.
void idct8x8_reference(const int16_t* coef, int16_t* out);

// Intra blocks: residual clamped to 0..255 into dst. Inter blocks: residual
// added to the prediction in dst, clamped.
void idct_put(const int16_t* coef, uint8_t* dst, int stride, unsigned rows = 0xFF);
void idct_add(const int16_t* coef, uint8_t* dst, int stride, unsigned rows = 0xFF);

// The plain versions of idct_put and idct_add, and the vector versions
// beside them (all eight rows; exactly the same results), which idct_put
// and idct_add choose once the processor is known. Tests compare them.
void idct_put_c(const int16_t* coef, uint8_t* dst, int stride, unsigned rows = 0xFF);
void idct_add_c(const int16_t* coef, uint8_t* dst, int stride, unsigned rows = 0xFF);
bool idct_avx2_available();
#if defined(__x86_64__) || defined(__i386__)
void idct_put_avx2(const int16_t* coef, uint8_t* dst, int stride);
void idct_add_avx2(const int16_t* coef, uint8_t* dst, int stride);
#endif

// Blocks with only a DC coefficient (common at low rates).
void idct_put_dc(int dc, uint8_t* dst, int stride);
void idct_add_dc(int dc, uint8_t* dst, int stride);

}  // namespace mpeg4
