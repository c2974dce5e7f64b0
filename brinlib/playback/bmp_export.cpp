// The displayed playback picture as the viewer's picture files "bmp1.bmp" to
// "bmp4.bmp", single frames of a split recording as BMP files, and the small
// picture helpers beside them.
#include "playback/bmp_export.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OvoDec1.h"
#include "brinlib.h"
#include "common/guard.h"
#include "common/replace_file.h"
#include "decode/decoders.h"
#include "playback/play_engine.h"
#include "velmora/bmp_file.h"
#include "velmora/bytes.h"
#include "velmora/message.h"

namespace brin::bmp {

namespace {

using vp::le32;

}  // namespace

bool write_bmp(const char* path, const uint8_t* rows, int width, int height, size_t stride) {
  if (!path || !rows || width <= 0 || height <= 0) return false;
  // A picture file is replaced whole, never written through a symlink.
  ReplacingFile f(path);
  vp::bmp::write_picture(f, rows, width, height, stride);
  return f.commit();
}

namespace {

// The viewer's four picture slots, each filled from a part of the displayed
// picture, and the buffer the displayed picture is fetched into.
struct Pictures {
  std::mutex lock;
  std::vector<uint8_t> display = std::vector<uint8_t>(kFullBytes + 1);
  struct Slot {
    std::vector<uint8_t> rgb = std::vector<uint8_t>(kFullBytes);
    int width = 0;
    int height = 0;
    uint32_t serial = 0;  // pictures taken, 0 before the first
  } slot[4];
};

Pictures& pictures() {
  static Pictures p;
  return p;
}

std::atomic<int32_t> g_bmp_mode{0};

constexpr size_t kFullStride = static_cast<size_t>(kFullWidth) * 3;

// Copies a part of the displayed picture (bottom-up rows of stride bytes) into
// a slot: rows [row, row + height), columns [column, column + width). The
// slot's serial grows only when the picture differs from the one it held.
void fill_slot(Pictures::Slot& s, const uint8_t* display, int row, int column, int width, int height,
               size_t stride = kFullStride) {
  const size_t bytes = static_cast<size_t>(width) * 3;
  bool changed = s.serial == 0 || s.width != width || s.height != height;
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = display + static_cast<size_t>(row + y) * stride + static_cast<size_t>(column) * 3;
    uint8_t* to = s.rgb.data() + static_cast<size_t>(y) * bytes;
    if (!changed && std::equal(from, from + bytes, to)) continue;
    std::copy(from, from + bytes, to);
    changed = true;
  }
  s.width = width;
  s.height = height;
  if (changed) ++s.serial;
}

void write_slot(int number, const Pictures::Slot& s) {
  char name[32];
  std::snprintf(name, sizeof name, "bmp%d.bmp", number);
  // A picture file that cannot be written leaves the one before.
  write_bmp(name, s.rgb.data(), s.width, s.height, static_cast<size_t>(s.width) * 3);
}

bool slot_number(int32_t n) { return n >= 1 && n <= 4; }

void export_displayed(int32_t* layout_out, int32_t* first_out, int32_t* second_out, uint32_t* time_out) {
  Pictures& p = pictures();
  std::lock_guard<std::mutex> g(p.lock);
  int32_t layout = 0, first = 0, second = 0;
  uint32_t time = 0;
  const int32_t got = brin::play::displayed_picture(&layout, &first, &second, p.display.data(), &time);
  if (layout_out) *layout_out = layout;
  if (first_out) *first_out = first;
  if (second_out) *second_out = second;
  if (time_out) *time_out = time;
  // No picture decoded yet: the files keep what they held.
  if (got != 0) return;
  const uint8_t* d = p.display.data();
  switch (layout) {
    case 1: {
      if (!slot_number(first)) return;
      Pictures::Slot& s = p.slot[first - 1];
      if (g_bmp_mode.load() == 1) {
        // A picture of 352 x 240: the data is that picture as it stands,
        // rows of 352 pixels.
        fill_slot(s, d, 0, 0, kHalfWidth, kHalfHeight, static_cast<size_t>(kHalfWidth) * 3);
      } else {
        fill_slot(s, d, kHalfHeight, 0, kFullWidth, kHalfHeight);
      }
      write_slot(first, s);
      return;
    }
    case 2: {
      if (!slot_number(first) || !slot_number(second)) return;
      // The first camera is the upper half of the picture (rows are stored
      // bottom-up), the second the lower half.
      fill_slot(p.slot[second - 1], d, 0, 0, kFullWidth, kHalfHeight);
      fill_slot(p.slot[first - 1], d, kHalfHeight, 0, kFullWidth, kHalfHeight);
      write_slot(first, p.slot[first - 1]);
      write_slot(second, p.slot[second - 1]);
      return;
    }
    case 4: {
      fill_slot(p.slot[0], d, kHalfHeight, 0, kHalfWidth, kHalfHeight);
      fill_slot(p.slot[1], d, kHalfHeight, kHalfWidth, kHalfWidth, kHalfHeight);
      fill_slot(p.slot[2], d, 0, 0, kHalfWidth, kHalfHeight);
      fill_slot(p.slot[3], d, 0, kHalfWidth, kHalfWidth, kHalfHeight);
      for (int n = 1; n <= 4; ++n) write_slot(n, p.slot[n - 1]);
      return;
    }
    default: return;
  }
}

// Frame files of a split recording are single packets; anything larger is
// no frame file.
constexpr long kMaxFrameFileBytes = 4 * 1048576;

std::vector<uint8_t> read_frame_file(std::FILE* f) {
  std::vector<uint8_t> data;
  if (std::fseek(f, 0, SEEK_END) != 0) return data;
  const long size = std::ftell(f);
  if (size <= 0 || size > kMaxFrameFileBytes || std::fseek(f, 0, SEEK_SET) != 0) return data;
  data.resize(static_cast<size_t>(size));
  data.resize(std::fread(data.data(), 1, data.size(), f));
  return data;
}

}  // namespace

}  // namespace brin::bmp

using namespace brin::bmp;

extern "C" {

int32_t make_bmp(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time, int32_t* idle) {
  return brin::guarded(0, [&]() -> int32_t {
    const brin::play::Control& c = brin::play::control();
    if (c.hdd_state.load() == brin::play::kIdle && c.file_state.load() == brin::play::kIdle) {
      if (idle) *idle = 1;
      return 0;
    }
    if (idle) *idle = 0;
    export_displayed(layout, first, second, time);
    return 0;
  });
}

int32_t make_bmp_one(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time) {
  return brin::guarded(0, [&]() -> int32_t {
    export_displayed(layout, first, second, time);
    return 0;
  });
}

int32_t make_bmp_picture(int32_t slot, uint8_t* rgb, int32_t capacity, int32_t* width, int32_t* height,
                         uint32_t* serial) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (!slot_number(slot) || !rgb || capacity <= 0 || !width || !height || !serial) return -1;
    Pictures& p = pictures();
    std::lock_guard<std::mutex> g(p.lock);
    const Pictures::Slot& s = p.slot[slot - 1];
    if (s.serial == 0) return 0;
    const size_t bytes = static_cast<size_t>(s.width) * static_cast<size_t>(s.height) * 3;
    if (bytes > static_cast<size_t>(capacity)) return -1;
    std::copy(s.rgb.data(), s.rgb.data() + bytes, rgb);
    *width = s.width;
    *height = s.height;
    *serial = s.serial;
    return 1;
  });
}

int32_t set_make_bmp_mode(int32_t mode) {
  g_bmp_mode.store(mode);
  return 0;
}

int32_t get_make_bmp_mode(void) { return g_bmp_mode.load(); }

int32_t keltest(int32_t unused) {
  (void)unused;
  return brin::guarded(0, [&]() -> int32_t {
    Pictures& p = pictures();
    std::lock_guard<std::mutex> g(p.lock);
    int32_t layout = 0, first = 0, second = 0;
    uint32_t time = 0;
    if (brin::play::displayed_picture(&layout, &first, &second, p.display.data(), &time) == 0)
      write_bmp("Bitmap1.bmp", p.display.data(), kFullWidth, kFullHeight, kFullStride);
    return 0;
  });
}

int32_t get_bmp(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot) {
  return brin::guarded(0, [&]() -> int32_t {
    get_ch_bmp(destination, width, height, slot);
    return 0;
  });
}

int32_t get_bmpsize(const char* path, int32_t* width, int32_t* height) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (!path || !width || !height) return -1;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    uint8_t header[kHeaderBytes];
    const size_t n = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    if (n != sizeof header) return -1;
    *width = static_cast<int32_t>(le32(header + 18));
    *height = static_cast<int32_t>(le32(header + 22));
    return 0;
  });
}

int32_t I2BMP(const char* frame_path, const char* bmp_path, const char* frame_folder, int32_t channel, int32_t frame,
              int32_t start_frame) {
  return brin::guarded(-1, [&]() -> int32_t {
    namespace dec = brin::decode;
    if (!dec::is_set_up()) {
      vp::message_box("error: not initialized ", frame_folder ? frame_folder : "");
      return -10;
    }
    std::FILE* f = nullptr;
    if (frame == start_frame) {
      if (frame_path) f = std::fopen(frame_path, "rb");
    } else if (frame_folder) {
      // The nearest frame file towards the start: a split writes no file for
      // numbers that had no picture.
      const int64_t distance = std::llabs(static_cast<int64_t>(frame) - start_frame);
      const int64_t step = frame > start_frame ? -1 : 1;
      int64_t number = frame;
      for (int64_t tried = 0; tried < distance && !f; ++tried, number += step) {
        const std::string name =
            std::string(frame_folder) + std::to_string(channel) + "_" + std::to_string(number) + ".dat";
        f = std::fopen(name.c_str(), "rb");
      }
    }
    if (!f) return -1;
    const std::vector<uint8_t> data = read_frame_file(f);
    std::fclose(f);
    dec::PacketInfo info;
    size_t at = 0;
    if (data.empty() || !dec::locate_packet(data.data(), data.size(), false, &info, &at)) return 0;
    dec::HeaderScan scan;
    const int flags = dec::scan_headers(data.data() + at, data.size() - at, &scan);
    int decoded_channel = info.channel;
    if (dec::decode_packet(data.data() + at, data.size() - at, &decoded_channel) == 1 && bmp_path &&
        dec::write_picture_file(bmp_path, decoded_channel))
      return frame;
    return flags;
  });
}

}  // extern "C"
