// Helpers of the decoder tests: whole-stream decoding and picture comparison.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mpeg4/decoder.h"

namespace m4test {

struct Frame {
  int width = 0, height = 0;
  mpeg4::CodingType type = mpeg4::CodingType::kNone;
  int64_t time = 0;
  std::vector<uint8_t> i420;  // cropped planes, I420
};

struct DecodeRun {
  std::vector<Frame> frames;
  std::vector<int> results;     // every decode() result except kNoPictureHeader at the end
  int errors = 0;               // results that are failures
  std::vector<size_t> damaged;  // frames given concealed with kBitstreamError
};

Frame copy_picture(const mpeg4::Picture& p);
// Decodes a whole buffer with one decoder, feeding it from the start of the
// stream with what is left after each call.
DecodeRun decode_stream(const std::vector<uint8_t>& data, bool hold_back_from_start = true);
// Splits raw I420 data into frames of w x h.
std::vector<std::vector<uint8_t>> split_i420(const std::vector<uint8_t>& raw, int w, int h);
// PSNR of two I420 frames over all planes (99 when identical).
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace m4test
