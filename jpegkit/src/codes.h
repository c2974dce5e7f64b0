// Result codes shared by the codec stages (the public header lists them for
// callers) and the small helpers every stage uses.
#pragma once
#include <cstdint>

namespace jk {

enum Code : int32_t {
  kNotColour = 0,
  kTooLarge = -3,
  kCannotOpen = -10,
  kNoStartOfImage = -11,
  kBadSegment = -12,
  kUnsupportedProcess = -13,
  kBadFrame = -14,
  kBadTable = -15,
  kBadScan = -16,
  kDamagedData = -17,
  kTruncatedData = -18,
  kBadArgument = -19,
  kCannotWrite = -20,
  kTooSmall = -21,
  kOutOfMemory = -2,
};

// Picture limits of the reader: wider than this, or this many lines or more,
// is refused.
constexpr int kMaxWidth = 1024;
constexpr int kMaxHeightExclusive = 2560;

// Bytes of one row of a 24-bit picture: width rounded up to 4 pixels.
constexpr int64_t row_bytes(int64_t width) { return ((width + 3) & ~int64_t{3}) * 3; }

// Zig-zag position k to natural (row-major) position.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                                 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                                 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

}  // namespace jk
