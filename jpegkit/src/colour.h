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

// Writer side: one picture (BGR rows bottom-up, row_bytes apart; picture row
// y is stored at row height-1-y) into Y, Cb and Cr planes of pw x ph samples
// for Y; the chroma planes have pw/hsub x ph/vsub samples (hsub, vsub 1 or 2).
// Columns and rows beyond width and height repeat the last ones.
void bgr_to_planes(const uint8_t* pixels, ptrdiff_t row_bytes, int width, int height, int pw,
                   int ph, int hsub, int vsub, uint8_t* y, uint8_t* cb, uint8_t* cr);

}  // namespace jk
