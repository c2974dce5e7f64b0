// Row kernels of the colour stage. Each has a plain version, which is the
// reference, and where the processor allows a vector version chosen once at
// run time (SSE2 is part of every x86-64; SSSE3 is checked).
#pragma once
#include <cstdint>

namespace jk {

struct ColourKernels {
  // n pixels of Y, Cb, Cr to B, G, R byte triples.
  void (*ycc_to_bgr)(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out);
  // n B, G, R triples to full-size Y, Cb, Cr.
  void (*bgr_to_ycc)(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb, uint8_t* cr);
  // Half-width chroma row c (c[-1] and c[n] readable) to 2n samples.
  void (*upsample_h2)(const uint8_t* c, int n, uint8_t* out);
  // Column sums s = 3 near + far (s[-1] and s[n] readable) to 2n samples.
  void (*upsample_h2v2)(const uint16_t* s, int n, uint8_t* out);
  // Averages of sample pairs (and of two rows when b is given): n outputs.
  void (*downsample)(const uint8_t* a, const uint8_t* b, int n, uint8_t* out);
};

const ColourKernels& colour_kernels();
const ColourKernels& colour_kernels_reference();

}  // namespace jk
