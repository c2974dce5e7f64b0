// Independent pictures for comparison: the clip decoded by ffmpeg to I420 and
// turned into bottom-up BGR with the video-range conversion, and the BMP
// picture files the live view writes.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference_pictures.h"

namespace live_test {

using velmora::testing::Bmp;
using velmora::testing::ClipFrames;
using velmora::testing::ffmpeg_clip_frames;
using velmora::testing::i420_to_bgr;
using velmora::testing::read_bmp;

// PSNR of a picture file against a full bottom-up picture of height h: the
// file holds the picture's rows from the ninth bottom row up.
inline double psnr_against(const Bmp& bmp, const std::vector<uint8_t>& full, int w, int h) {
  return velmora::testing::psnr_from_ninth_row(bmp.pixels, bmp.width, bmp.height, full, w, h);
}

}  // namespace live_test
