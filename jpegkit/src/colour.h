// Colour stages: chroma upsampling and YCbCr to BGR for the reader, BGR to
// YCbCr and chroma downsampling for the writer (JFIF colour space, full
// range).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace jk {

// One decoded component: its samples (with the decoder's block padding
// beyond width and height) and how many times it is to be enlarged.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t stride = 0;
  int width = 0, height = 0;  // samples that belong to the picture
  int hfactor = 1, vfactor = 1;
};

// Where picture row y of the converted rows goes: row (out_rows - 1 -
// (y * step + offset)) of the bottom-up picture at base.
struct RowMap {
  uint8_t* base = nullptr;
  ptrdiff_t row_bytes = 0;
  int out_rows = 0;
  int step = 1, offset = 0;
  uint8_t* row(int y) const { return base + (out_rows - 1 - (y * step + offset)) * row_bytes; }
};

// Converts rows 0..rows-1 of three planes (Y, Cb, Cr, or R, G, B when rgb)
// into `columns` BGR pixels per row. Chroma planes of half width and/or half
// height are enlarged with a triangular filter, other factors by repetition.
void planes_to_bgr(const Plane* planes, bool rgb, int columns, int rows, const RowMap& out);

// Writer side: rows first_row .. first_row + rows - 1 of the picture padded
// to pw x ph samples (BGR rows bottom-up, row_bytes apart; picture row y is
// stored at row height-1-y) into Y, Cb and Cr planes that hold just those
// rows: Y rows of pw samples; the chroma planes have pw/hsub samples per
// row and rows/vsub rows (hsub, vsub 1 or 2; first_row and rows even when
// vsub is 2). Columns and rows beyond width and height repeat the last ones.
// scratch holds bgr_scratch_bytes(pw) bytes.
void bgr_to_planes(const uint8_t* pixels, ptrdiff_t row_bytes, int width, int height, int pw, int first_row, int rows,
                   int hsub, int vsub, uint8_t* y, uint8_t* cb, uint8_t* cr, uint8_t* scratch);
inline size_t bgr_scratch_bytes(int pw) { return 4 * (static_cast<size_t>(pw) + 32); }

}  // namespace jk
