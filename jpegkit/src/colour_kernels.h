// Row kernels of the colour stage. Each has a plain C++ version and vector
// versions (SSE2, SSSE3, AVX2) chosen once at run time; all give identical
// bytes, the plain versions being the exact model the others are tested
// against.
#pragma once
#include <cstdint>
#include <vector>

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

// The fastest versions this processor runs.
const ColourKernels& colour_kernels();

// Every set of versions this processor runs, by name, the plain one first
// (for the tests that compare them).
struct NamedColourKernels {
  const char* name;
  ColourKernels k;
};
std::vector<NamedColourKernels> colour_kernel_versions();

// The plain versions (also the vector versions' tails).
void ycc_to_bgr_plain(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out);
void bgr_to_ycc_plain(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb, uint8_t* cr);
void upsample_h2_plain(const uint8_t* c, int n, uint8_t* out);
void upsample_h2v2_plain(const uint16_t* s, int n, uint8_t* out);
void downsample_plain(const uint8_t* a, const uint8_t* b, int n, uint8_t* out);

#if defined(__x86_64__)
// The AVX2 versions (x86/colour_avx2.cpp); only called when the processor
// has AVX2.
void ycc_to_bgr_avx2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out);
void bgr_to_ycc_avx2(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb, uint8_t* cr);
void upsample_h2_avx2(const uint8_t* c, int n, uint8_t* out);
void upsample_h2v2_avx2(const uint16_t* s, int n, uint8_t* out);
#endif

}  // namespace jk
