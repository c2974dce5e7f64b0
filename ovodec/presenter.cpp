#include "presenter.h"

#include <cstdio>

#include "velmora/clock.h"

namespace ovo {

Presentation::Presentation() : clock_(vp::tick_count_ms) {}

void Presentation::set_draw_area(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.draw_width = width;
  settings_.draw_height = height;
}

void Presentation::set_title_window(int32_t title_window, int32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.title_window = title_window;
  title_value_ = value;
}

void Presentation::set_callbacks(OvoPresentPicture picture, OvoPresentTitle title, void* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.picture = picture;
  settings_.title = title;
  settings_.context = context;
}

void Presentation::set_clock_for_test(TickClock clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = clock ? std::move(clock) : TickClock(vp::tick_count_ms);
}

Presentation::Snapshot Presentation::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

std::string Presentation::count_picture(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++pictures_;
  bytes_ += bytes;
  if (settings_.title_window == 0) return {};
  const uint32_t now = clock_();
  if (vp::elapsed_ms(last_title_ms_, now) <= kTitleIntervalMs) return {};
  std::string text = statistics_text(bytes_, pictures_);
  bytes_ = 0;
  pictures_ = 0;
  last_title_ms_ = now;
  return text;
}

void Presentation::reset_statistics() {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ = 0;
  pictures_ = 0;
  last_title_ms_ = 0;
}

std::string statistics_text(uint64_t bytes, uint32_t pictures) {
  // Over the two-second interval: kilobits per second, then the bit count's
  // last three digits, then pictures per second.
  char text[96];
  const uint64_t bits = bytes * 8;
  std::snprintf(text, sizeof text, "Bitrate=%d,%dbps / FrameRate=%dfps", static_cast<int>(bits / 2000),
                static_cast<int>(bits % 1000), static_cast<int>(pictures / 2));
  return text;
}

void scale_rgb(const uint8_t* src, int src_width, int src_height, uint8_t* dst, int dst_width, int dst_height) {
  const size_t src_row = static_cast<size_t>(src_width) * 3;
  const size_t dst_row = static_cast<size_t>(dst_width) * 3;
  for (int j = 0; j < dst_height; ++j) {
    const uint8_t* s = src + static_cast<size_t>(static_cast<int64_t>(j) * src_height / dst_height) * src_row;
    uint8_t* d = dst + static_cast<size_t>(j) * dst_row;
    for (int i = 0; i < dst_width; ++i) {
      const uint8_t* p = s + static_cast<size_t>(static_cast<int64_t>(i) * src_width / dst_width) * 3;
      d[3 * i] = p[0];
      d[3 * i + 1] = p[1];
      d[3 * i + 2] = p[2];
    }
  }
}

void VideoWindow::present(const YuvView& picture, size_t bytes, bool deinterlace) {
  if (picture.width <= 0 || picture.height <= 0) return;
  if (picture.width != width_ || picture.height != height_) {
    // A new picture size prepares the window again.
    width_ = picture.width;
    height_ = picture.height;
    rgb_.assign(static_cast<size_t>(width_) * height_ * 3, 0);
  }
  const Presentation::Snapshot s = presentation_.settings();
  if (s.picture) yuv420_to_bgr(picture, rgb_.data(), deinterlace, scratch_);
  const std::string title = presentation_.count_picture(bytes);
  if (!title.empty() && s.title) s.title(s.context, s.title_window, title.c_str());
  if (!s.picture) return;
  // The picture is stretched to the draw area; without one it is shown at
  // its own size.
  const bool area =
      s.draw_width > 0 && s.draw_height > 0 && s.draw_width <= kMaxDrawSide && s.draw_height <= kMaxDrawSide;
  const int dw = area ? s.draw_width : width_;
  const int dh = area ? s.draw_height : height_;
  if (dw == width_ && dh == height_) {
    s.picture(s.context, window_, rgb_.data(), dw, dh);
    return;
  }
  const size_t need = static_cast<size_t>(dw) * dh * 3;
  if (scaled_.size() < need) scaled_.resize(need);
  scale_rgb(rgb_.data(), width_, height_, scaled_.data(), dw, dh);
  s.picture(s.context, window_, scaled_.data(), dw, dh);
}

}  // namespace ovo
