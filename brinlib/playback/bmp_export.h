// Still pictures as 24-bit BMP files: the displayed playback picture split
// into the viewer's picture slots, single frames of a split recording, and the
// BMP file format they share.
#pragma once
#include <cstddef>
#include <cstdint>

namespace brin::bmp {

inline constexpr int kFullWidth = 704;
inline constexpr int kFullHeight = 480;
inline constexpr int kHalfWidth = 352;
inline constexpr int kHalfHeight = 240;
inline constexpr size_t kFullBytes = static_cast<size_t>(kFullWidth) * kFullHeight * 3;
inline constexpr size_t kHeaderBytes = 54;

// Writes a 24-bit BMP file of width x height pixels from bottom-up rows of
// width x 3 bytes that lie stride bytes apart (rows are padded to a multiple
// of four in the file). False when the file cannot be written whole.
bool write_bmp(const char* path, const uint8_t* rows, int width, int height, size_t stride);

}  // namespace brin::bmp
