// The JPEG reader: headers, one scan or a field pair, and the conversion to
// a 24-bit bottom-up picture.
#pragma once
#include <cstdint>
#include <vector>

#include "markers.h"
#include "source.h"

namespace jk {

struct DecodeOptions {
  int64_t start_offset = 0;    // where the headers start
  int64_t picture_offset = 0;  // non-zero: where the coded data to decode start
  int scale_shift = 0;         // 0..7
  int64_t max_pixels = 0;      // non-zero: refuse larger frames (fuzzing)
  size_t prefix = 0;           // bytes kept free in front of the pixels
};

struct DecodedPicture {
  std::vector<uint8_t> data;  // prefix bytes, then the rows, bottom row first
  int width = 0;              // the picture's own width
  int height = 0;
  int row_bytes = 0;  // width rounded up to 4 pixels, times 3
  const uint8_t* pixels() const { return data.data() + prefix; }
  uint8_t* pixels() { return data.data() + prefix; }
  size_t prefix = 0;
};

// Decodes the picture; hdr receives what the headers said (also on failure,
// as far as they were read). Returns the first component's sampling byte
// (positive) or a code from codes.h (0 or negative).
int32_t decode_jpeg(Source& src, const DecodeOptions& opt, Header& hdr, DecodedPicture& out);

}  // namespace jk
