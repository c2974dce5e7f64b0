// Helpers of the image library's tests: test pictures made with ffmpeg,
// running cjpeg and djpeg, reading 24-bit BMP files and comparing pictures.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace jktest {

struct Bmp {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top row first, 3 bytes per pixel, no padding
  bool ok = false;
};

Bmp load_bmp(const std::string& path);
// Writes a 24-bit BMP with the given bytes per pixel row order (top first).
bool save_bmp(const std::string& path, const Bmp& bmp);

struct Difference {
  double mae = 0;   // mean absolute error per sample
  double psnr = 0;  // dB, 99 for identical pictures
};
// Compares the common top-left area of two pictures.
Difference compare(const Bmp& a, const Bmp& b);

// Whether ffmpeg, cjpeg and djpeg can be run.
bool have_tools();
// Runs a shell command; true when it exits with 0.
bool run(const std::string& command);
// A picture made with ffmpeg from a lavfi source description, as a 24-bit
// BMP in the shared picture folder (made once, reused by later tests).
std::string picture(const std::string& name, const std::string& lavfi);
// The folder for made pictures (inside the build tree).
std::string picture_dir();

std::vector<uint8_t> read_bytes(const std::string& path);
bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The quantisation tables (zig-zag order, by table number) of a JPEG file.
std::vector<std::vector<int>> jpeg_quant_tables(const std::vector<uint8_t>& jpeg);
// Width and height of a JPEG file's frame header (0, 0 when none).
std::pair<int, int> jpeg_size(const std::vector<uint8_t>& jpeg);

}  // namespace jktest
