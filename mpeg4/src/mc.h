// Motion compensation: the prediction of a block from a reference picture
// at half- or quarter-sample positions.
//
// Positions may point anywhere (unrestricted motion vectors): a block that
// reaches outside the reference is read through a copy whose samples beyond
// the edge repeat the edge sample, as the standard pads reference pictures.
#pragma once
#include <cstdint>

namespace mpeg4 {

// A reference plane, or one field of it (data at the field's first row,
// stride doubled, height halved). width and height bound the samples that
// may be read; beyond them the edge repeats.
struct Plane {
  const uint8_t* data = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
  // A field plane also knows its frame: samples beyond the edge repeat the
  // frame's edge row (the reference is padded as a frame), so a field read
  // past the bottom meets the frame's last row whichever field it is.
  int field = -1;  // 0 top, 1 bottom, -1 a frame
  int frame_height = 0;
};

// One field of a frame plane.
inline Plane field_of(const Plane& frame, int field) {
  Plane p{frame.data + field * frame.stride, frame.stride * 2, frame.width, frame.height / 2};
  p.field = field;
  p.frame_height = frame.height;
  return p;
}

// Bilinear half-sample prediction of a w x h block (w, h up to 16) at
// (x2 / 2, y2 / 2) in the plane. rounding is vop_rounding_type.
void mc_halfpel(uint8_t* dst, int dst_stride, const Plane& ref, int x2, int y2, int w, int h, int rounding);

// Quarter-sample prediction of a luminance block (w, h up to 16) at
// (x4 / 4, y4 / 4): 8-tap filtering with the block edge mirrored, then
// averaging.
void mc_qpel(uint8_t* dst, int dst_stride, const Plane& ref, int x4, int y4, int w, int h, int rounding);

// dst = (dst + src + 1) >> 1 over a w x h block: bidirectional prediction.
void mc_average(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h);

// Copies a w x h area at (x, y) of the plane into dst, repeating the edge
// samples for positions outside.
void copy_with_edges(uint8_t* dst, int dst_stride, const Plane& ref, int x, int y, int w, int h);

}  // namespace mpeg4
