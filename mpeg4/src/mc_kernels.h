// The inner kernels of motion compensation: a plain version of each, and
// the vector versions beside it (mpeg4/src/x86/), chosen once by
// mc_kernels(). Tests compare the two on random blocks.
#pragma once
#include <cstdint>

namespace mpeg4 {

// Bilinear half-sample prediction of a w x h block (w 4, 8 or 16) from src,
// which holds (w + fx) x (h + fy) readable samples. rounding is
// vop_rounding_type.
using HalfpelFn = void (*)(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h, int fx,
                           int fy, int rounding);
// dst = (dst + src + 1) >> 1 over w x h.
using AverageFn = void (*)(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);
// One line of quarter-sample interpolation, n values (n up to 16): at each
// i the 8-tap half-sample filter over tap[0][i] .. tap[7][i] (the four
// samples before the half position and the four after; values 0..255),
// rounded and limited to 0..255; with frac 2 that half-sample value is the
// result, with frac 1 or 3 its rounded mean with near[i]. The same kernel
// serves the rows (taps at neighbouring samples) and the columns (taps on
// neighbouring rows).
using QpelTapsFn = void (*)(const int16_t* const tap[8], const int16_t* near, int n, int frac, int rounding,
                            int16_t* out);

struct McKernels {
  HalfpelFn halfpel;
  AverageFn average;
  QpelTapsFn qpel_taps;
};

void halfpel_c(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h, int fx, int fy,
               int rounding);
void average_c(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);
void qpel_taps_c(const int16_t* const tap[8], const int16_t* near, int n, int frac, int rounding, int16_t* out);

#if defined(__SSE2__)
void halfpel_sse2(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h, int fx, int fy,
                  int rounding);
void average_sse2(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);
void qpel_taps_sse2(const int16_t* const tap[8], const int16_t* near, int n, int frac, int rounding, int16_t* out);
#endif

// The kernels for this processor.
const McKernels& mc_kernels();

}  // namespace mpeg4
