// The row kernel of the colour conversion: the plain version in colour.cpp
// and a vector version beside it (mpeg4/src/x86/), chosen once by the
// processor. Both give exactly the same bytes.
#pragma once
#include <cstdint>

namespace mpeg4 {

// Converts the first n pixels of a row (n a multiple of 16): luma y[0..n),
// chroma u and v [0..n/2), out 3n bytes blue, green, red.
void yuv_row_to_bgr24_ssse3(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, int n);
bool colour_ssse3_available();

}  // namespace mpeg4
