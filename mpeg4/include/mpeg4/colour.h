// Conversion of decoded YUV 4:2:0 pictures to 24-bit RGB pictures.
#pragma once
#include <cstdint>

#include "mpeg4/decoder.h"

namespace mpeg4 {

// ITU-R BT.601 video range to 24-bit pixels in the byte order blue, green,
// red, in fixed point with 13 fractional bits:
//   Y' = 9539 (Y - 16); R = Y' + 13075 (V - 128);
//   G = Y' - 3209 (U - 128) - 6660 (V - 128); B = Y' + 16525 (U - 128);
// each plus 4096, shifted right by 13 and clamped to 0..255.
// Rows of exactly width * 3 bytes; bottom_up puts the picture's last row
// first (the BMP order). dst holds width * height * 3 bytes.
void yuv420_to_bgr24(const Picture& pic, uint8_t* dst, bool bottom_up);

}  // namespace mpeg4
