#include "snapshot.h"

#include <cstring>

namespace ovo {

void SnapshotStore::store(const YuvView& picture, uint8_t camera_bits, int count, int first, int second) {
  const int w = picture.width, h = picture.height;
  if (w <= 0 || h <= 0 || w > kMaxPictureWidth || h > kMaxPictureHeight) return;
  std::lock_guard<std::mutex> lock(lock_);
  if (count == 1 || count == 2) {
    if (first >= 1 && first <= kSnapshotSlots) slots_[first - 1].assign(picture);
    if (count == 2 && second >= 1 && second <= kSnapshotSlots) slots_[second - 1].assign(picture);
    return;
  }
  const bool quarters = w % 4 == 0 && h % 4 == 0;
  const uint8_t named = (camera_bits & 0x0F) ? (camera_bits & 0x0F) : 0x0F;
  for (int k = 0; k < kSnapshotSlots; ++k) {
    if (!(named & (1 << k))) continue;
    if (quarters) {
      slots_[k].assign_crop(picture, (k % 2) * (w / 2), (k / 2) * (h / 2), w / 2, h / 2);
    } else {
      slots_[k].assign(picture);
    }
  }
}

int32_t SnapshotStore::fetch(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot, bool deinterlace) {
  if (slot < 1 || slot > kSnapshotSlots || !destination || !width || !height) return -1;
  std::lock_guard<std::mutex> lock(lock_);
  const YuvPicture& p = slots_[slot - 1];
  *width = p.width();
  *height = p.height();
  size_t used = 0;
  if (!p.empty()) {
    yuv420_to_bgr(p.view(), destination, deinterlace, scratch_);
    used = static_cast<size_t>(p.width()) * p.height() * 3;
  }
  std::memset(destination + used, 0, kMaxRgbBytes - used);
  return 0;
}

void SnapshotStore::clear() {
  std::lock_guard<std::mutex> lock(lock_);
  for (auto& s : slots_) s.clear();
}

}  // namespace ovo
