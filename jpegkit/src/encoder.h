// The JPEG writer: baseline, three components, the standard Huffman tables
// and quantisation tables scaled by a quality factor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace jk {

enum class Sampling : int { k444 = 0, k422 = 1, k420 = 2 };
// Sampling mode numbers of the library's interface: 1 is 4:2:2, 2 is 4:2:0,
// anything else 4:4:4.
inline Sampling sampling_from_mode(int mode) {
  return mode == 1 ? Sampling::k422 : mode == 2 ? Sampling::k420 : Sampling::k444;
}

// Scales the standard tables: 50 keeps them; q' = q * quality / 50 rounded
// to nearest, then limited to 1..255. Natural order, luminance first.
void scaled_quant_tables(int32_t quality, uint8_t luma[64], uint8_t chroma[64]);

struct EncodeInput {
  const uint8_t* pixels = nullptr;  // BGR, bottom row first
  ptrdiff_t row_bytes = 0;
  int width = 0, height = 0;
  Sampling sampling = Sampling::k422;
  int32_t quality = 50;
};

// Encodes the picture's top-left part of width rounded down to 16 and height
// rounded down to 8 into out. Returns 0, kTooSmall or kTooLargeToWrite.
int32_t encode_jpeg(const EncodeInput& in, std::vector<uint8_t>& out);

// Code for a picture over 65,535 pixels on a side.
constexpr int32_t kTooLargeToWrite = -22;

}  // namespace jk
