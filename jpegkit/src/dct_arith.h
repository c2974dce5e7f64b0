// The arithmetic every version of the 8x8 transforms shares: the one-
// dimensional transforms (templates over float and vector types) and the
// exact integer quantisation of the DC coefficient. Each version must apply
// the same operations in the same order so that all give the same bytes.
// Everything here has internal linkage: each kernel file gets its own copy,
// compiled for that file's instruction set.
#pragma once
#include <cmath>
#include <cstdint>

namespace jk {
namespace {

// Half the cosines cos(k pi / 16): each one-dimensional pass carries the
// factor 1/2 of the two-dimensional transform's 1/4.
constexpr float kC1 = 0.49039264020161522f;  // cos(pi/16) / 2
constexpr float kC2 = 0.46193976625564337f;
constexpr float kC3 = 0.41573480615127262f;
constexpr float kC4 = 0.35355339059327379f;
constexpr float kC5 = 0.27778511650980114f;
constexpr float kC6 = 0.19134171618254492f;
constexpr float kC7 = 0.09754516100806417f;

// One-dimensional inverse transform of X0..X7 in place, split into the even
// part (X0, X2, X4, X6) and the odd part (X1, X3, X5, X7). With N = 4 the
// inputs X4..X7 are known to be zero, with N = 1 all but X0: the terms they
// would add are left out. Adding a zero product changes no float result
// (beyond the sign of a zero, which the final rounding removes), so every N
// gives the same values as N = 8 on such input.
template <int N, typename T>
inline void idct8(T* x) {
  if constexpr (N == 1) {
    T d = x[0] * kC4;
    for (int i = 0; i < 8; ++i) x[i] = d;
  } else if constexpr (N == 4) {
    T e0 = x[0] * kC4;
    T t2 = x[2] * kC2;
    T t3 = x[2] * kC6;
    T E0 = e0 + t2, E3 = e0 - t2, E1 = e0 + t3, E2 = e0 - t3;
    T O0 = x[1] * kC1 + x[3] * kC3;
    T O1 = x[1] * kC3 - x[3] * kC7;
    T O2 = x[1] * kC5 - x[3] * kC1;
    T O3 = x[1] * kC7 - x[3] * kC5;
    x[0] = E0 + O0;
    x[7] = E0 - O0;
    x[1] = E1 + O1;
    x[6] = E1 - O1;
    x[2] = E2 + O2;
    x[5] = E2 - O2;
    x[3] = E3 + O3;
    x[4] = E3 - O3;
  } else {
    T e0 = (x[0] + x[4]) * kC4;
    T e1 = (x[0] - x[4]) * kC4;
    T t2 = x[2] * kC2 + x[6] * kC6;
    T t3 = x[2] * kC6 - x[6] * kC2;
    T E0 = e0 + t2, E3 = e0 - t2, E1 = e1 + t3, E2 = e1 - t3;
    T O0 = x[1] * kC1 + x[3] * kC3 + x[5] * kC5 + x[7] * kC7;
    T O1 = x[1] * kC3 - x[3] * kC7 - x[5] * kC1 - x[7] * kC5;
    T O2 = x[1] * kC5 - x[3] * kC1 + x[5] * kC7 + x[7] * kC3;
    T O3 = x[1] * kC7 - x[3] * kC5 + x[5] * kC3 - x[7] * kC1;
    x[0] = E0 + O0;
    x[7] = E0 - O0;
    x[1] = E1 + O1;
    x[6] = E1 - O1;
    x[2] = E2 + O2;
    x[5] = E2 - O2;
    x[3] = E3 + O3;
    x[4] = E3 - O3;
  }
}

// One-dimensional forward transform of samples x0..x7 in place.
template <typename T>
inline void fdct8(T* x) {
  T s0 = x[0] + x[7], s1 = x[1] + x[6], s2 = x[2] + x[5], s3 = x[3] + x[4];
  T d0 = x[0] - x[7], d1 = x[1] - x[6], d2 = x[2] - x[5], d3 = x[3] - x[4];
  T ss0 = s0 + s3, ss1 = s1 + s2, sd0 = s0 - s3, sd1 = s1 - s2;
  x[0] = (ss0 + ss1) * kC4;
  x[4] = (ss0 - ss1) * kC4;
  x[2] = sd0 * kC2 + sd1 * kC6;
  x[6] = sd0 * kC6 - sd1 * kC2;
  x[1] = d0 * kC1 + d1 * kC3 + d2 * kC5 + d3 * kC7;
  x[3] = d0 * kC3 - d1 * kC7 - d2 * kC1 - d3 * kC5;
  x[5] = d0 * kC5 - d1 * kC1 + d2 * kC7 + d3 * kC3;
  x[7] = d0 * kC7 - d1 * kC5 + d2 * kC3 - d3 * kC1;
}

inline int16_t clamp16(int32_t v, int32_t lim) { return static_cast<int16_t>(v < -lim ? -lim : v > lim ? lim : v); }

// The DC coefficient is the block's sum over 8, so it is quantised exactly
// in integers: flat areas meet halves often, and they round away from zero
// as every other coefficient does.
inline int16_t quantised_dc(int32_t sum_minus_128s, float recip) {
  int32_t q = static_cast<int32_t>(::lroundf(1.0f / recip));
  int32_t d = 8 * q;
  int32_t mag = sum_minus_128s < 0 ? -sum_minus_128s : sum_minus_128s;
  int32_t v = (mag + d / 2) / d;
  return clamp16(sum_minus_128s < 0 ? -v : v, 2047);
}

}  // namespace
}  // namespace jk
