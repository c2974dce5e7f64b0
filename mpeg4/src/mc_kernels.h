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

struct McKernels {
  HalfpelFn halfpel;
  AverageFn average;
};

void halfpel_c(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h, int fx, int fy,
               int rounding);
void average_c(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);

#if defined(__SSE2__)
void halfpel_sse2(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h, int fx, int fy,
                  int rounding);
void average_sse2(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);
#endif

// The kernels for this processor.
const McKernels& mc_kernels();

}  // namespace mpeg4
