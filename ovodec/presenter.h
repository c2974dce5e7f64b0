// Presentation of the receive path: each picture is converted to RGB, scaled
// to the draw area and handed to the caller's picture callback; every two
// seconds the statistics text goes to the caller's title callback.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OvoDec1.h"
#include "colour.h"

namespace ovo {

inline constexpr uint32_t kTitleIntervalMs = 2000;
// A draw area larger than this on either side is taken as not set.
inline constexpr int32_t kMaxDrawSide = 8192;

// The settings and statistics shared by the presentation of the process.
class Presentation {
 public:
  using TickClock = std::function<uint32_t()>;
  Presentation();

  void set_draw_area(int32_t width, int32_t height);
  void set_title_window(int32_t title_window, int32_t value);
  // The deinterlace filter for every RGB picture of the library.
  void set_deinterlace(bool on) { deinterlace_.store(on); }
  bool deinterlace() const { return deinterlace_.load(); }
  void set_callbacks(OvoPresentPicture picture, OvoPresentTitle title, void* context);
  // For tests: the tick count that times the title updates.
  void set_clock_for_test(TickClock clock);

  struct Snapshot {
    int32_t draw_width = 0;
    int32_t draw_height = 0;
    int32_t title_window = 0;
    OvoPresentPicture picture = nullptr;
    OvoPresentTitle title = nullptr;
    void* context = nullptr;
  };
  Snapshot settings() const;

  // Counts one presented picture of bytes bytes; returns the title text when
  // a title window is set and more than two seconds have passed since the
  // last update (the counters then start again), else an empty string.
  std::string count_picture(size_t bytes);
  void reset_statistics();

 private:
  mutable std::mutex mutex_;
  std::atomic<bool> deinterlace_{false};
  Snapshot settings_;
  int32_t title_value_ = 0;
  TickClock clock_;
  uint64_t bytes_ = 0;
  uint32_t pictures_ = 0;
  uint32_t last_title_ms_ = 0;
};

// The title text for the counted pictures and bytes of one interval.
std::string statistics_text(uint64_t bytes, uint32_t pictures);

// Scales a bottom-up RGB picture to another size by picking the nearest
// source pixel.
void scale_rgb(const uint8_t* src, int src_width, int src_height, uint8_t* dst, int dst_width, int dst_height);

// The video window of one receive thread.
class VideoWindow {
 public:
  VideoWindow(Presentation& presentation, int32_t window) : presentation_(presentation), window_(window) {}

  // Presents one decoded picture; bytes is what the statistics count for it.
  // The picture is stretched to the draw area, or shown at its own size while
  // no draw area is set.
  void present(const YuvView& picture, size_t bytes, bool deinterlace);

 private:
  Presentation& presentation_;
  const int32_t window_;
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> rgb_;
  std::vector<uint8_t> scaled_;
  ConvertScratch scratch_;
};

}  // namespace ovo
