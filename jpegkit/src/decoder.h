// The JPEG reader: headers, one scan or a field pair, and the conversion to
// a 24-bit bottom-up picture.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
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

// A byte buffer that is not cleared when allocated (every byte the decoder
// hands out is written first). A buffer that already holds enough bytes
// keeps them, so a picture decoded again into the same object costs no
// fresh memory.
class Buffer {
 public:
  void allocate(size_t n) {
    if (n > capacity_) {
      bytes_.reset();
      bytes_.reset(new uint8_t[n]);
      capacity_ = n;
    }
    size_ = n;
  }
  void release() {
    bytes_.reset();
    size_ = capacity_ = 0;
  }
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  uint8_t* begin() { return data(); }
  uint8_t* end() { return data() + size_; }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

struct DecodedPicture {
  Buffer data;    // prefix bytes, then the rows, bottom row first
  int width = 0;  // the picture's own width
  int height = 0;
  int row_bytes = 0;  // width rounded up to 4 pixels, times 3
  const uint8_t* pixels() const { return data.data() + prefix; }
  uint8_t* pixels() { return data.data() + prefix; }
  size_t prefix = 0;
  // The decoder's working memory (the component planes), kept for the next
  // picture decoded into this object.
  Buffer work;
};

// Decodes the picture; hdr receives what the headers said (also on failure,
// as far as they were read). Returns the first component's sampling byte
// (positive) or a code from codes.h (0 or negative).
int32_t decode_jpeg(Source& src, const DecodeOptions& opt, Header& hdr, DecodedPicture& out);

}  // namespace jk
