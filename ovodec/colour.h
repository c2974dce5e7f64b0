// YUV 4:2:0 to 24-bit bottom-up BGR, table driven, with the optional
// deinterlace filter. The arithmetic is fixed (16.16 fixed point tables of
// the BT.601 studio-range coefficients), so the output is bit-exact.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovo {

// A planar picture: Y plane width x height, U (Cb) and V (Cr) planes of
// (width + 1) / 2 x (height + 1) / 2 samples.
struct YuvView {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int stride_y = 0;
  int stride_uv = 0;
  int width = 0;
  int height = 0;
};

struct ColourTables {
  int32_t y[256];       // 76,309 x i - 1,221,968
  int32_t cr_r[256];    // 104,597 x (i - 128)
  int32_t cr_g[256];    // 53,279 x (i - 128)
  int32_t cb_g[256];    // 25,675 x (i - 128)
  int32_t cb_b[256];    // 132,201 x (i - 128)
  uint8_t clamp[1024];  // index + 384: 0 below 0, 255 above 255
};

inline constexpr int kClampOffset = 384;

const ColourTables& colour_tables();

// A packed copy of a picture (planes without row padding), owned.
class YuvPicture {
 public:
  void assign(const YuvView& src);
  // Copies the rectangle (x, y, width, height) of src; x, y, width and
  // height must be even and inside src.
  void assign_crop(const YuvView& src, int x, int y, int width, int height);
  void clear();
  YuvView view() const;
  int width() const { return width_; }
  int height() const { return height_; }
  bool empty() const { return width_ <= 0 || height_ <= 0; }

 private:
  std::vector<uint8_t> data_;  // grows only, so steady use allocates nothing
  int width_ = 0;
  int height_ = 0;
};

// The filter of one plane: row 0 and the last row average with their one
// neighbour, the others weigh their neighbours a quarter each; every term is
// rounded down on its own. A plane of one row is copied.
void deinterlace_plane(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int width, int rows);

// Work space of the conversion (the filtered picture), kept by each caller so
// that converting allocates nothing once it has seen the largest picture.
struct ConvertScratch {
  std::vector<uint8_t> planes;
};

// Writes pic as rows of exactly width x 3 bytes, blue, green, red, the top
// source row last. dst holds width x height x 3 bytes.
void yuv420_to_bgr(const YuvView& pic, uint8_t* dst, bool deinterlace, ConvertScratch& scratch);

}  // namespace ovo
