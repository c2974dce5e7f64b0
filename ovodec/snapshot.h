// The snapshot store: the last picture of each of the four camera positions,
// taken from the decoded playback pictures by their camera-set bits.
#pragma once
#include <cstdint>
#include <mutex>

#include "colour.h"

namespace ovo {

inline constexpr int kSnapshotSlots = 4;
inline constexpr int kMaxPictureWidth = 704;
inline constexpr int kMaxPictureHeight = 480;
inline constexpr size_t kMaxRgbBytes = static_cast<size_t>(kMaxPictureWidth) * kMaxPictureHeight * 3;  // 1,013,760

class SnapshotStore {
 public:
  explicit SnapshotStore(std::mutex& lock) : lock_(lock) {}

  // Takes a decoded picture. A picture of one camera (count 1) goes to that
  // camera's slot, one of two cameras (count 2) whole to both; a picture of
  // four (count 4) is a split screen: camera 1 top left, 2 top right, 3
  // bottom left, 4 bottom right, and each quarter goes to the slot of its
  // camera when the camera bits name it (all four when they name none).
  // Pictures larger than 704 x 480 are not stored.
  void store(const YuvView& picture, uint8_t camera_bits, int count, int first, int second);

  // get_ch_bmp: slot 1 to 4.
  int32_t fetch(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot, bool deinterlace);

  void clear();

 private:
  std::mutex& lock_;
  YuvPicture slots_[kSnapshotSlots];
  ConvertScratch scratch_;
};

}  // namespace ovo
